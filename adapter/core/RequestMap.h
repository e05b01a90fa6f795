// Typed, checked access to an untrusted MessagePack request map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <msgpack.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace halvora::adapter {

// A request that cannot be served as sent; its message becomes the error result.
class RequestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Unpacks one MessagePack value with limits that keep a few bytes announcing
// a huge container from allocating more than the input could fill. Strings
// point into `data` rather than being copied, so `data` must outlive the
// handle; callers copy out what they keep.
msgpack::object_handle unpackBounded(const std::uint8_t* data, std::size_t length);

class RequestMap {
public:
    // Throws RequestError when the bytes are not one MessagePack map.
    RequestMap(const std::uint8_t* data, std::uint64_t length);
    // A nested map of the request, as taken from `value`.
    explicit RequestMap(const msgpack::object& map);

    std::uint64_t requireUnsigned(const char* key) const;
    std::string requireString(const char* key) const;
    // The same, read in place: valid as long as the request's bytes.
    std::string_view requireText(const char* key) const;
    bool requireBool(const char* key) const;
    RequestMap requireMap(const char* key) const;

    std::optional<std::string> optionalString(const char* key) const;
    std::optional<std::int64_t> optionalInteger(const char* key) const;
    std::optional<bool> optionalBool(const char* key) const;
    // Absent and nil both read as empty; anything but a map is an error.
    std::optional<RequestMap> optionalMap(const char* key) const;

private:
    const msgpack::object* find(const char* key) const;
    const msgpack::object& require(const char* key) const;

    msgpack::object_handle handle_; // owns the unpacked zone of a top-level request
    const msgpack::object* map_ = nullptr;
};

} // namespace halvora::adapter
