// Outcome of one adapter call, or of the runtime's reply to one event.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace halvora::adapter {

struct Result {
    enum class Kind { Null, Text, Number, Error };

    Kind kind = Kind::Null;
    std::string text;         // the value of Text, the message of Error
    std::uint64_t number = 0; // the value of Number

    static Result null() { return {}; }
    static Result ofText(std::string value) { return {Kind::Text, std::move(value), 0}; }
    static Result ofNumber(std::uint64_t value) { return {Kind::Number, {}, value}; }
    static Result error(std::string message) { return {Kind::Error, std::move(message), 0}; }

    bool isError() const { return kind == Kind::Error; }
};

} // namespace halvora::adapter
