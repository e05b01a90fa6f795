#include "wire/Frames.h"

#include "core/RequestMap.h"

#include <msgpack.hpp>

#include <utility>

namespace halvora::adapter::wire {

namespace {

constexpr std::size_t prefixBytes = 4;

std::uint32_t readPrefix(const std::uint8_t* bytes)
{
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
           std::uint32_t{bytes[3]};
}

std::uint64_t unsignedAt(const msgpack::object_array& items, std::uint32_t index)
{
    if (items.ptr[index].type != msgpack::type::POSITIVE_INTEGER)
        throw FrameError("a frame field that must be an unsigned integer is not");
    return items.ptr[index].via.u64;
}

std::string textAt(const msgpack::object_array& items, std::uint32_t index)
{
    const msgpack::object& item = items.ptr[index];
    if (item.type != msgpack::type::STR)
        throw FrameError("a frame field that must be a string is not");
    return std::string(item.via.str.ptr, item.via.str.size);
}

std::vector<std::uint8_t> bytesAt(const msgpack::object_array& items, std::uint32_t index)
{
    const msgpack::object& item = items.ptr[index];
    if (item.type != msgpack::type::BIN)
        throw FrameError("a frame field that must be binary is not");
    const auto* data = reinterpret_cast<const std::uint8_t*>(item.via.bin.ptr);
    return std::vector<std::uint8_t>(data, data + item.via.bin.size);
}

Result resultAt(const msgpack::object_array& items)
{
    const std::uint64_t kind = unsignedAt(items, 2);
    std::string text = textAt(items, 3);
    const std::uint64_t number = unsignedAt(items, 4);
    switch (kind) {
    case 0:
        return Result::null();
    case 1:
        return Result::ofText(std::move(text));
    case 2:
        return Result::ofNumber(number);
    case 3:
        return Result::error(std::move(text));
    default:
        throw FrameError("a frame carries an unknown result kind");
    }
}

std::uint64_t kindCode(Result::Kind kind)
{
    switch (kind) {
    case Result::Kind::Null:
        return 0;
    case Result::Kind::Text:
        return 1;
    case Result::Kind::Number:
        return 2;
    case Result::Kind::Error:
        break;
    }
    return 3;
}

Message decodeBody(const std::uint8_t* data, std::size_t length)
{
    msgpack::object_handle handle;
    try {
        handle = unpackBounded(data, length);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw FrameError(std::string("a frame is not valid MessagePack: ") + e.what());
    }
    const msgpack::object& root = handle.get();
    if (root.type != msgpack::type::ARRAY || root.via.array.size < 1)
        throw FrameError("a frame is not a message array");
    const msgpack::object_array& items = root.via.array;

    Message message;
    const std::uint64_t kind = unsignedAt(items, 0);
    const std::uint32_t expected = kind == 4 ? 1 : kind == 2 ? 3 : 5;
    if (kind > 4 || items.size != expected)
        throw FrameError("a frame has an unknown kind or the wrong number of fields");
    message.kind = static_cast<Kind>(kind);
    if (message.kind == Kind::Heartbeat)
        return message;
    message.id = unsignedAt(items, 1);
    switch (message.kind) {
    case Kind::Request:
        message.op = textAt(items, 2);
        message.bytes = bytesAt(items, 3);
        message.caller = unsignedAt(items, 4);
        break;
    case Kind::Event:
        message.bytes = bytesAt(items, 2);
        break;
    case Kind::Response:
    case Kind::EventReply:
        message.result = resultAt(items);
        break;
    case Kind::Heartbeat:
        break;
    }
    return message;
}

} // namespace

Message request(std::uint64_t id, std::string op, const std::uint8_t* data, std::size_t length, std::uint64_t caller)
{
    Message message;
    message.kind = Kind::Request;
    message.id = id;
    message.op = std::move(op);
    if (data != nullptr)
        message.bytes.assign(data, data + length);
    message.caller = caller;
    return message;
}

Message response(Kind kind, std::uint64_t id, Result result)
{
    Message message;
    message.kind = kind;
    message.id = id;
    message.result = std::move(result);
    return message;
}

Message event(std::uint64_t id, std::vector<std::uint8_t> bytes)
{
    Message message;
    message.kind = Kind::Event;
    message.id = id;
    message.bytes = std::move(bytes);
    return message;
}

Message heartbeat()
{
    Message message;
    message.kind = Kind::Heartbeat;
    return message;
}

std::vector<std::uint8_t> encode(const Message& message)
{
    msgpack::sbuffer buffer;
    buffer.write("\0\0\0\0", prefixBytes);
    msgpack::packer<msgpack::sbuffer> out(buffer);
    const auto packBytes = [&out](const std::vector<std::uint8_t>& bytes) {
        out.pack_bin(static_cast<std::uint32_t>(bytes.size()));
        out.pack_bin_body(reinterpret_cast<const char*>(bytes.data()), static_cast<std::uint32_t>(bytes.size()));
    };
    if (message.bytes.size() > maxFrameBytes)
        throw FrameError("the message is larger than a frame may be");
    switch (message.kind) {
    case Kind::Request:
        out.pack_array(5);
        out.pack(std::uint64_t{0});
        out.pack(message.id);
        out.pack(message.op);
        packBytes(message.bytes);
        out.pack(message.caller);
        break;
    case Kind::Event:
        out.pack_array(3);
        out.pack(std::uint64_t{2});
        out.pack(message.id);
        packBytes(message.bytes);
        break;
    case Kind::Response:
    case Kind::EventReply:
        out.pack_array(5);
        out.pack(static_cast<std::uint64_t>(message.kind));
        out.pack(message.id);
        out.pack(kindCode(message.result.kind));
        out.pack(message.result.text);
        out.pack(message.result.number);
        break;
    case Kind::Heartbeat:
        out.pack_array(1);
        out.pack(std::uint64_t{4});
        break;
    }
    const std::size_t body = buffer.size() - prefixBytes;
    if (body > maxFrameBytes)
        throw FrameError("the message is larger than a frame may be");
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer.data());
    bytes[0] = static_cast<std::uint8_t>(body >> 24);
    bytes[1] = static_cast<std::uint8_t>(body >> 16);
    bytes[2] = static_cast<std::uint8_t>(body >> 8);
    bytes[3] = static_cast<std::uint8_t>(body);
    return std::vector<std::uint8_t>(bytes, bytes + buffer.size());
}

void FrameReader::append(const std::uint8_t* data, std::size_t length)
{
    if (consumed_ > 0 && consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    } else if (consumed_ > buffer_.size() / 2) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + length);
}

bool FrameReader::next(Message& message)
{
    const std::size_t available = buffer_.size() - consumed_;
    if (available < prefixBytes)
        return false;
    const std::uint32_t length = readPrefix(buffer_.data() + consumed_);
    // Checked before waiting for the body, so an oversized frame fails at once.
    if (length == 0 || length > maxFrameBytes)
        throw FrameError("a frame announces " + std::to_string(length) + " bytes; frames hold 1 to " +
                         std::to_string(maxFrameBytes));
    if (available - prefixBytes < length)
        return false;
    message = decodeBody(buffer_.data() + consumed_ + prefixBytes, length);
    consumed_ += prefixBytes + length;
    return true;
}

} // namespace halvora::adapter::wire
