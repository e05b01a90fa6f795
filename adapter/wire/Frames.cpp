#include "wire/Frames.h"

#include "core/Packing.h"

#include <msgpack.hpp>

#include <algorithm>
#include <cstring>
#include <utility>

namespace halvora::adapter::wire {

namespace {

constexpr std::size_t prefixBytes = 4;

// Packs straight into the frame, so a payload is copied once.
using FrameStream = ByteAppender;

std::string overBound(const char* what, std::size_t bytes)
{
    return std::string(what) + " takes " + std::to_string(bytes) + " bytes, over the 4 MiB bound (" +
           std::to_string(maxFrameBytes) + " bytes) of one frame to or from the runtime service";
}

// Writes the length prefix once the body is packed, or throws when the body
// is over the bound.
std::vector<std::uint8_t> sealed(std::vector<std::uint8_t> frame, const char* what)
{
    const std::size_t body = frame.size() - prefixBytes;
    if (body > maxFrameBytes)
        throw FrameError(overBound(what, body));
    frame[0] = static_cast<std::uint8_t>(body >> 24);
    frame[1] = static_cast<std::uint8_t>(body >> 16);
    frame[2] = static_cast<std::uint8_t>(body >> 8);
    frame[3] = static_cast<std::uint8_t>(body);
    return frame;
}

std::vector<std::uint8_t> started(std::size_t room)
{
    std::vector<std::uint8_t> frame;
    frame.reserve(prefixBytes + room);
    frame.resize(prefixBytes);
    return frame;
}

// Frame fields are read in place while the frame is decoded; only what a
// message keeps is copied out of the read buffer.
bool referenceInPlace(msgpack::type::object_type, std::size_t, void*)
{
    return true;
}

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
        // A message is a flat array of at most five fields.
        const msgpack::unpack_limit limit(5, 0, length, length, 0, 2);
        handle = msgpack::unpack(reinterpret_cast<const char*>(data), length, referenceInPlace, nullptr, limit);
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
    switch (message.kind) {
    case Kind::Request:
        return encodeRequest(message.id, message.op, message.bytes.data(), message.bytes.size(), message.caller);
    case Kind::Event:
        return encodeEventFrame(message.id, message.bytes.data(), message.bytes.size());
    case Kind::Response:
    case Kind::EventReply:
        return encodeAnswer(message.kind, message.id, message.result);
    case Kind::Heartbeat:
        break;
    }
    std::vector<std::uint8_t> frame = started(2);
    FrameStream stream{frame};
    msgpack::packer<FrameStream> out(stream);
    out.pack_array(1);
    out.pack(std::uint64_t{4});
    return sealed(std::move(frame), "the heartbeat");
}

namespace {

// Fills in the length prefix once head, body and tail are known.
FramePieces sealedPieces(FramePieces pieces, const char* what)
{
    const std::size_t body = pieces.head.size() - prefixBytes + pieces.bodyLength + pieces.tail.size();
    if (body > maxFrameBytes)
        throw FrameError(overBound(what, body));
    pieces.head[0] = static_cast<std::uint8_t>(body >> 24);
    pieces.head[1] = static_cast<std::uint8_t>(body >> 16);
    pieces.head[2] = static_cast<std::uint8_t>(body >> 8);
    pieces.head[3] = static_cast<std::uint8_t>(body);
    return pieces;
}

// A frame's pieces with room for the length prefix, around `body`; a body
// over the bound is refused before anything is allocated for it.
FramePieces startedPieces(const std::uint8_t* body, std::size_t bodyLength, const char* what, std::size_t headRoom)
{
    if (bodyLength > maxFrameBytes)
        throw FrameError(overBound(what, bodyLength));
    FramePieces pieces;
    pieces.head.reserve(prefixBytes + headRoom);
    pieces.head.resize(prefixBytes);
    pieces.body = bodyLength > 0 ? body : nullptr;
    pieces.bodyLength = bodyLength;
    return pieces;
}

std::vector<std::uint8_t> joined(const FramePieces& pieces)
{
    std::vector<std::uint8_t> frame;
    frame.reserve(pieces.head.size() + pieces.bodyLength + pieces.tail.size());
    frame.insert(frame.end(), pieces.head.begin(), pieces.head.end());
    if (pieces.bodyLength > 0)
        frame.insert(frame.end(), pieces.body, pieces.body + pieces.bodyLength);
    frame.insert(frame.end(), pieces.tail.begin(), pieces.tail.end());
    return frame;
}

} // namespace

FramePieces requestPieces(std::uint64_t id, std::string_view op, const std::uint8_t* data, std::size_t length,
                          std::uint64_t caller)
{
    FramePieces pieces = startedPieces(data, length, "the request", op.size() + 24);
    FrameStream head{pieces.head};
    msgpack::packer<FrameStream> out(head);
    out.pack_array(5);
    out.pack(std::uint64_t{0});
    out.pack(id);
    out.pack_str(static_cast<std::uint32_t>(op.size()));
    out.pack_str_body(op.data(), static_cast<std::uint32_t>(op.size()));
    out.pack_bin(static_cast<std::uint32_t>(length));
    FrameStream tail{pieces.tail};
    msgpack::packer<FrameStream>(tail).pack(caller);
    return sealedPieces(std::move(pieces), "the request");
}

FramePieces answerPieces(Kind kind, std::uint64_t id, const Result& result)
{
    const char* what = kind == Kind::EventReply ? "the reply to the event" : "the response";
    const std::string_view text = result.textView();
    FramePieces pieces = startedPieces(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), what, 32);
    FrameStream head{pieces.head};
    msgpack::packer<FrameStream> out(head);
    out.pack_array(5);
    out.pack(static_cast<std::uint64_t>(kind));
    out.pack(id);
    out.pack(kindCode(result.kind));
    out.pack_str(static_cast<std::uint32_t>(text.size()));
    FrameStream tail{pieces.tail};
    msgpack::packer<FrameStream>(tail).pack(result.number);
    return sealedPieces(std::move(pieces), what);
}

FramePieces eventPieces(std::uint64_t id, const std::uint8_t* data, std::size_t length)
{
    FramePieces pieces = startedPieces(data, length, "the event", 24);
    FrameStream head{pieces.head};
    msgpack::packer<FrameStream> out(head);
    out.pack_array(3);
    out.pack(std::uint64_t{2});
    out.pack(id);
    out.pack_bin(static_cast<std::uint32_t>(length));
    return sealedPieces(std::move(pieces), "the event");
}

std::vector<std::uint8_t> encodeEventFrame(std::uint64_t id, const std::uint8_t* data, std::size_t length)
{
    return joined(eventPieces(id, data, length));
}

std::vector<std::uint8_t> encodeRequest(std::uint64_t id, std::string_view op, const std::uint8_t* data,
                                        std::size_t length, std::uint64_t caller)
{
    return joined(requestPieces(id, op, data, length, caller));
}

std::vector<std::uint8_t> encodeAnswer(Kind kind, std::uint64_t id, const Result& result)
{
    return joined(answerPieces(kind, id, result));
}

void FrameReader::append(const std::uint8_t* data, std::size_t length)
{
    std::memcpy(space(length), data, length);
    commit(length);
}

std::uint8_t* FrameReader::space(std::size_t length)
{
    if (consumed_ == filled_) {
        consumed_ = filled_ = 0;
    } else if (consumed_ > 0 && (consumed_ > buffer_.size() / 2 || buffer_.size() - filled_ < length)) {
        std::memmove(buffer_.data(), buffer_.data() + consumed_, filled_ - consumed_);
        filled_ -= consumed_;
        consumed_ = 0;
    }
    if (buffer_.size() - filled_ < length)
        buffer_.resize(std::max(filled_ + length, buffer_.size() + buffer_.size() / 2));
    return buffer_.data() + filled_;
}

std::size_t FrameReader::readRoom() const
{
    constexpr std::size_t atLeast = std::size_t{128} * 1024;
    const std::size_t available = filled_ - consumed_;
    if (available < prefixBytes)
        return atLeast;
    const std::size_t length = std::min(readPrefix(buffer_.data() + consumed_), maxFrameBytes);
    const std::size_t lacking = available - prefixBytes < length ? length - (available - prefixBytes) : 0;
    return std::max(atLeast, lacking);
}

bool FrameReader::next(Message& message)
{
    const std::size_t available = filled_ - consumed_;
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
