#include "runtime/DebugOutput.h"

#include <mutex>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace HalvoraAdapterApi {
namespace detail {

namespace {

std::mutex& sinkMutex()
{
    static std::mutex mutex;
    return mutex;
}

DebugOutputSink& installedSink()
{
    static DebugOutputSink sink;
    return sink;
}

void platformDebugOutput(const std::wstring& text)
{
#if defined(_WIN32)
    OutputDebugStringW(text.c_str());
#else
    (void)text;
#endif
}

} // namespace

void writeDebugOutput(const std::wstring& text)
{
    DebugOutputSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = installedSink();
    }
    if (sink) {
        sink(text);
    } else {
        platformDebugOutput(text);
    }
}

void setDebugOutputSink(DebugOutputSink sink)
{
    std::lock_guard<std::mutex> lock(sinkMutex());
    installedSink() = std::move(sink);
}

} // namespace detail
} // namespace HalvoraAdapterApi
