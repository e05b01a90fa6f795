#include "service/Log.h"

#include <cstdio>

namespace halvora::adapter::service {

void logLine(LogLevel level, const std::string& text)
{
    // One write per line, so lines of a dying service are never interleaved.
    const std::string line = "<" + std::to_string(static_cast<int>(level)) + ">halvora-runtime: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace halvora::adapter::service
