// Writes one MessagePack value into a buffer of exactly its size: the value
// is packed once to count its bytes and once into the buffer, so a payload is
// copied once, instead of through a growing buffer and then out of it again.
#pragma once

#include <msgpack.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace halvora::adapter {

struct ByteCounter {
    std::size_t size = 0;
    void write(const char*, std::size_t length) { size += length; }
};

struct ByteWriter {
    char* next;
    void write(const char* bytes, std::size_t length)
    {
        // An empty string's data may be a null pointer, which memcpy must not see.
        if (length != 0) {
            std::memcpy(next, bytes, length);
            next += length;
        }
    }
};

// Appends to a growing buffer, for values that are not counted first.
struct ByteAppender {
    std::vector<std::uint8_t>& bytes;
    void write(const char* data, std::size_t length)
    {
        const auto* first = reinterpret_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), first, first + length);
    }
};

// `pack` is called with a msgpack::packer of either counting stream, e.g. a generic
// lambda `[&](auto& out) { out.pack(...); }`.
template <typename Pack>
std::size_t packedSize(const Pack& pack)
{
    ByteCounter counter;
    msgpack::packer<ByteCounter> out(counter);
    pack(out);
    return counter.size;
}

// Writes the value to `buffer`, which holds at least packedSize(pack) bytes.
template <typename Pack>
void packInto(void* buffer, const Pack& pack)
{
    ByteWriter writer{static_cast<char*>(buffer)};
    msgpack::packer<ByteWriter> out(writer);
    pack(out);
}

} // namespace halvora::adapter
