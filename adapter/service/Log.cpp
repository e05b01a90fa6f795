#include "service/Log.h"

#include <cstdio>

namespace halvora::adapter::service {

namespace {

LogLevel threshold = LogLevel::Info; // set before the service starts

} // namespace

void logLine(LogLevel level, const std::string& text)
{
    if (static_cast<int>(level) > static_cast<int>(threshold))
        return;
    std::string line = "<" + std::to_string(static_cast<int>(level)) + ">halvora-runtime: " + text + "\n";
    // A line is one record to the journal: a line break inside (a runtime's
    // uuid may hold one) would split it.
    for (std::size_t i = 0; i + 1 < line.size(); ++i)
        if (line[i] == '\n' || line[i] == '\r')
            line[i] = ' ';
    // One write per line, so lines of a dying service are never interleaved.
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void setLogThreshold(LogLevel level)
{
    threshold = level;
}

bool parseLogLevel(const std::string& text, LogLevel& level)
{
    static const char* const names[] = {"error", "warning", "notice", "info", "debug"};
    for (int priority = 3; priority <= 7; ++priority) {
        if (text == names[priority - 3] || text == std::to_string(priority)) {
            level = static_cast<LogLevel>(priority);
            return true;
        }
    }
    return false;
}

} // namespace halvora::adapter::service
