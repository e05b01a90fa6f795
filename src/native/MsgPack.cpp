#include "native/MsgPack.h"

#include "native/PayloadMemory.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

namespace HalvoraAdapterApi {
namespace detail {

std::uint32_t checkedLength(std::size_t length)
{
    if (length > std::numeric_limits<std::uint32_t>::max()) {
        throw std::runtime_error("exceeded maximum data length");
    }
    return static_cast<std::uint32_t>(length);
}

void packString(Packer& packer, std::string_view text)
{
    const std::uint32_t length = checkedLength(text.size());
    packer.pack_str(length);
    packer.pack_str_body(text.data(), length);
}

void packMapHeader(Packer& packer, std::size_t entries)
{
    packer.pack_map(checkedLength(entries));
}

void packBool(Packer& packer, bool value)
{
    if (value) {
        packer.pack_true();
    } else {
        packer.pack_false();
    }
}

void packNil(Packer& packer)
{
    packer.pack_nil();
}

void packUInt64(Packer& packer, std::uint64_t value)
{
    packer.pack_uint64(value);
}

void packInt32(Packer& packer, std::int32_t value)
{
    packer.pack_int32(value);
}

void packUInt16(Packer& packer, std::uint16_t value)
{
    packer.pack_uint16(value);
}

SplitRequest::SplitRequest(std::size_t headRoom, std::size_t tailSize) : bytes(headRoom + tailSize), headRoom(headRoom)
{
    adviseHugePages(bytes.data(), headRoom + tailSize);
    static const char unused[64] = {};
    for (std::size_t left = headRoom; left != 0;) {
        const std::size_t step = std::min(left, sizeof unused);
        bytes.write(unused, step);
        left -= step;
    }
}

EncodedRequest SplitRequest::finish(const msgpack::sbuffer& head) &&
{
    if (head.size() <= headRoom) {
        const std::size_t start = headRoom - head.size();
        std::memcpy(bytes.data() + start, head.data(), head.size());
        return EncodedRequest(std::move(bytes), start);
    }
    msgpack::sbuffer whole(head.size() + bytes.size() - headRoom);
    whole.write(head.data(), head.size());
    whole.write(bytes.data() + headRoom, bytes.size() - headRoom);
    return EncodedRequest(std::move(whole));
}

namespace {

bool referenceEverything(msgpack::type::object_type, std::size_t, void*)
{
    return true;
}

// Every element, string byte or entry takes at least one byte of input, so no
// announced size larger than the input can be genuine; the bound keeps a few
// bytes from reserving gigabytes. Nesting deeper than any event or reply is
// refused as well.
msgpack::unpack_limit limitsFor(std::uint64_t length)
{
    const std::size_t bound = static_cast<std::size_t>(length);
    return msgpack::unpack_limit(bound, bound, bound, bound, bound, maxDecodeDepth);
}

// The decoder's default zone starts with an 8 KiB block, too large for the
// allocator's per-thread cache, so every decode of a small reply or event
// took the allocator's shared path. Events and replies hold a dozen objects,
// which a small first block holds; anything larger is added as it is needed.
constexpr std::size_t firstZoneBlock = 512;

} // namespace

DecodedValue decodeMsgPack(const std::uint8_t* data, std::uint64_t length)
{
    DecodedValue decoded;
    if (data == nullptr) {
        decoded.error = "null input";
        return decoded;
    }
    try {
        auto zone = std::make_unique<msgpack::zone>(firstZoneBlock);
        std::size_t offset = 0;
        bool referenced = false;
        const msgpack::object value =
            msgpack::unpack(*zone, reinterpret_cast<const char*>(data), static_cast<std::size_t>(length), offset,
                            referenced, referenceEverything, nullptr, limitsFor(length));
        decoded.handle = msgpack::object_handle(value, std::move(zone));
    } catch (const msgpack::depth_size_overflow&) {
        decoded.handle = msgpack::object_handle();
        decoded.error = "format error.";
    } catch (const msgpack::size_overflow&) {
        // A size beyond the input's length: the input ends before the value does.
        decoded.handle = msgpack::object_handle();
        decoded.error = "end of buffer.";
    } catch (const msgpack::insufficient_bytes&) {
        decoded.handle = msgpack::object_handle();
        decoded.error = "end of buffer.";
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        decoded.handle = msgpack::object_handle();
        decoded.error = "format error.";
    }
    return decoded;
}

const msgpack::object& nilObject()
{
    static const msgpack::object nil;
    return nil;
}

const msgpack::object& elementAt(const msgpack::object& array, std::size_t index)
{
    if (array.type != msgpack::type::ARRAY || index >= array.via.array.size) {
        return nilObject();
    }
    return array.via.array.ptr[index];
}

std::string stringValue(const msgpack::object& value)
{
    if (value.type != msgpack::type::STR) {
        return std::string();
    }
    return std::string(value.via.str.ptr, value.via.str.size);
}

bool boolValue(const msgpack::object& value)
{
    return value.type == msgpack::type::BOOLEAN && value.via.boolean;
}

std::uint64_t uint64Value(const msgpack::object& value)
{
    // A handle is unsigned: negative numbers and floats read as 0, "no value".
    return value.type == msgpack::type::POSITIVE_INTEGER ? value.via.u64 : 0;
}

} // namespace detail
} // namespace HalvoraAdapterApi
