// Silences what the library writes for every malformed input, so that the
// fuzzer's own output stays readable and fast; sanitizer reports are written
// to the file descriptor directly and still appear.
#pragma once

#include "runtime/DebugOutput.h"

#include <iostream>

namespace HalvoraFuzz {

inline void quietLibrary()
{
    std::cerr.rdbuf(nullptr);
    HalvoraAdapterApi::detail::setDebugOutputSink([](const std::wstring&) {});
}

} // namespace HalvoraFuzz
