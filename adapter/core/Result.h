// Outcome of one adapter call, or of the runtime's reply to one event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace halvora::adapter {

// A text that stays in the buffer a runtime answered with, instead of being
// copied out of it: the reply is handed on as the caller's result as it is,
// and given back to the runtime once the last holder lets go of it.
class HeldText {
public:
    using Release = void (*)(std::uint8_t* buffer);

    // `packed` is the text as one MessagePack string, inside `buffer`.
    HeldText(std::uint8_t* buffer, Release release, const std::uint8_t* packed, std::size_t packedSize,
             std::string_view text)
        : buffer_(buffer), release_(release), packed_(packed), packedSize_(packedSize), text_(text)
    {}
    HeldText(const HeldText&) = delete;
    HeldText& operator=(const HeldText&) = delete;
    ~HeldText()
    {
        try {
            release_(buffer_);
        } catch (...) {
            // the buffer is the runtime's; nothing more can be done with it here
        }
    }

    std::string_view text() const { return text_; }
    const std::uint8_t* packed() const { return packed_; }
    std::size_t packedSize() const { return packedSize_; }

private:
    std::uint8_t* const buffer_;
    const Release release_;
    const std::uint8_t* const packed_;
    const std::size_t packedSize_;
    const std::string_view text_;
};

struct Result {
    enum class Kind { Null, Text, Number, Error };

    Kind kind = Kind::Null;
    std::string text;         // the value of Text, the message of Error, unless held
    std::uint64_t number = 0; // the value of Number
    // When set, the value of Text or the message of Error lies here and
    // `text` is empty.
    std::shared_ptr<const HeldText> held;

    static Result null() { return {}; }
    static Result ofText(std::string value) { return {Kind::Text, std::move(value), 0, nullptr}; }
    static Result ofNumber(std::uint64_t value) { return {Kind::Number, {}, value, nullptr}; }
    static Result error(std::string message) { return {Kind::Error, std::move(message), 0, nullptr}; }
    static Result heldText(Kind kind, std::shared_ptr<const HeldText> value) { return {kind, {}, 0, std::move(value)}; }

    bool isError() const { return kind == Kind::Error; }
    std::string_view textView() const { return held ? held->text() : std::string_view(text); }
};

} // namespace halvora::adapter
