// MessagePack encoding and decoding shared by every subsystem: requests are
// written as maps with their keys in ascending byte order, replies and events
// are decoded with limits derived from the input's own size.
#pragma once

#include <msgpack.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace HalvoraAdapterApi {
namespace detail {

using Packer = msgpack::packer<msgpack::sbuffer>;

// MessagePack lengths are 32-bit; longer strings or containers raise
// std::runtime_error before anything is written.
std::uint32_t checkedLength(std::size_t length);

void packString(Packer& packer, std::string_view text);
void packMapHeader(Packer& packer, std::size_t entries);
void packBool(Packer& packer, bool value);
void packNil(Packer& packer);
// Integers take their shortest MessagePack form.
void packUInt64(Packer& packer, std::uint64_t value);
void packInt32(Packer& packer, std::int32_t value);
void packUInt16(Packer& packer, std::uint16_t value);

// The serialised bytes of one request; default-constructed it is the nil
// request, which reaches the adapter as a null pointer and length 0.
class EncodedRequest {
public:
    EncodedRequest() = default;
    // The request is `bytes` from `start` on.
    explicit EncodedRequest(msgpack::sbuffer bytes, std::size_t start = 0)
        : bytes(std::move(bytes)), start(start), nil(false)
    {}

    const std::uint8_t* data() const
    {
        return nil ? nullptr : reinterpret_cast<const std::uint8_t*>(bytes.data()) + start;
    }
    std::uint64_t size() const { return nil ? 0 : bytes.size() - start; }

private:
    msgpack::sbuffer bytes;
    std::size_t start = 0;
    bool nil = true;
};

// A request map written in two parts: its last entries when the operation is
// queued, straight from the caller's texts, and its first entries (those read
// only when the request is sent) in front of them when it is sent. So a
// payload among the last entries is copied once, from the caller's string
// into the request.
class SplitRequest {
public:
    // `headRoom` bytes are kept free in front of the tail, `tailSize` reserved for it.
    SplitRequest(std::size_t headRoom, std::size_t tailSize);

    // Appends to the tail.
    Packer tail() { return Packer(bytes); }
    // Puts `head` in front of the tail; the tail is moved only when the head
    // does not fit the room kept for it.
    EncodedRequest finish(const msgpack::sbuffer& head) &&;

private:
    msgpack::sbuffer bytes;
    std::size_t headRoom;
};

// Bytes to reserve for a request before it is written. Records that carry a
// payload overload it (found next to the record), so that a large payload is
// written once into a buffer of the right size instead of through a series
// of doubling reallocations; the rest fit the default.
template <typename Record>
std::size_t requestSizeHint(const Record&)
{
    return 256;
}

// Serialises a request record through its packRecord(Packer&, const Record&),
// found next to the record in the subsystem that owns its keys.
template <typename Record>
EncodedRequest encodeRequest(const Record& record)
{
    msgpack::sbuffer buffer(requestSizeHint(record));
    Packer packer(buffer);
    packRecord(packer, record);
    return EncodedRequest(std::move(buffer));
}

// One decoded MessagePack value. On failure `error` holds "null input",
// "end of buffer." or "format error." and the value is nil.
struct DecodedValue {
    msgpack::object_handle handle;
    std::string error;

    const msgpack::object& value() const { return handle.get(); }
    bool ok() const { return error.empty(); }
};

// Values nested deeper than this (containers within containers) are refused
// as "format error."; no event or reply comes near it.
constexpr std::size_t maxDecodeDepth = 64;

// Decodes the first value in the bytes; trailing bytes are ignored. Strings
// point into the input instead of being copied: every caller copies out what
// it keeps before the input goes away.
DecodedValue decodeMsgPack(const std::uint8_t* data, std::uint64_t length);

// Accessors that never fail: a missing or mistyped value reads as empty,
// false or 0.
const msgpack::object& nilObject();
const msgpack::object& elementAt(const msgpack::object& array, std::size_t index);
std::string stringValue(const msgpack::object& value);
bool boolValue(const msgpack::object& value);
std::uint64_t uint64Value(const msgpack::object& value);

} // namespace detail
} // namespace HalvoraAdapterApi
