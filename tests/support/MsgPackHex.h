// Hand-written MessagePack for byte-exact expectations: hexBytes("82 " + str("handle") + ...).
#pragma once

#include <string>

namespace HalvoraTest {

// A string as MessagePack hex text: fixstr below 32 bytes, str8 up to 255.
inline std::string str(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    auto byte = [](std::size_t value) { return std::string{digits[(value >> 4) & 0xf], digits[value & 0xf], ' '}; };
    std::string hex = text.size() < 32 ? byte(0xa0 | text.size()) : "d9 " + byte(text.size());
    for (unsigned char c : text) {
        hex += byte(c);
    }
    return hex;
}

} // namespace HalvoraTest
