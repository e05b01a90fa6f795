// Where the connect banner goes: the platform's debugger output on Windows,
// nowhere elsewhere. Tests install a sink of their own.
#pragma once

#include <functional>
#include <string>

namespace HalvoraAdapterApi {
namespace detail {

using DebugOutputSink = std::function<void(const std::wstring&)>;

void writeDebugOutput(const std::wstring& text);
// An empty sink restores the platform default.
void setDebugOutputSink(DebugOutputSink sink);

} // namespace detail
} // namespace HalvoraAdapterApi
