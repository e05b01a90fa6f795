#include "core/Events.h"

#include "core/Packing.h"
#include "core/RequestMap.h"

#include <cstring>
#include <memory>
#include <optional>

namespace halvora::adapter {

namespace {

const msgpack::object* findKey(const msgpack::object_map& map, const char* key)
{
    const std::size_t length = std::strlen(key);
    for (std::uint32_t i = 0; i < map.size; ++i) {
        const msgpack::object& k = map.ptr[i].key;
        if (k.type == msgpack::type::STR && k.via.str.size == length && std::memcmp(k.via.str.ptr, key, length) == 0)
            return &map.ptr[i].val;
    }
    return nullptr;
}

const Result unreadableReply = Result::error("the runtime's reply to the event could not be read");

// The fields of an event in front of its payload, and the two behind it.
template <typename Out>
void packEventHead(Out& out, const Event& event)
{
    const Endpoint& endpoint = endpointOf(event);
    out.pack_array(7);
    out.pack(event.type);
    out.pack_array(5);
    out.pack(endpoint.uuid);
    out.pack(endpoint.name);
    out.pack(endpoint.channelName);
    out.pack(endpoint.channelId);
    out.pack(endpoint.endpointId);
    out.pack(event.channelName);
    out.pack(event.topic);
}

template <typename Out>
void packEventTail(Out& out, const Event& event)
{
    out.pack_str(0); // reserved
    out.pack(!event.payload.has_value());
}

// An empty string and a boolean: one byte each.
constexpr std::size_t eventTailSize = 2;

} // namespace

const Endpoint& endpointOf(const Event& event)
{
    static const Endpoint none;
    return event.endpoint ? *event.endpoint : none;
}

PackedPayload::PackedPayload(std::string_view text, std::size_t room) : front_(room)
{
    const auto pack = [&](auto& out) {
        out.pack_str(static_cast<std::uint32_t>(text.size()));
        out.pack_str_body(text.data(), static_cast<std::uint32_t>(text.size()));
    };
    packedSize_ = adapter::packedSize(pack);
    // The payload is written once, straight from where the request holds it;
    // the room in front and the tail are written when the event is finished.
    bytes_ = PayloadBlock(front_ + packedSize_ + eventTailSize);
    packInto(bytes_.data() + front_, pack);
}

void encodeEventInto(std::vector<std::uint8_t>& bytes, const Event& event)
{
    const std::size_t fields = packedSize([&](auto& out) {
        packEventHead(out, event);
        packEventTail(out, event);
    });
    // Sized, not zero-filled: every byte is written once. No payload is
    // written as an empty string.
    bytes.clear();
    bytes.reserve(fields + (event.payload ? event.payload->packedSize() : 1));
    ByteAppender appender{bytes};
    msgpack::packer<ByteAppender> out(appender);
    packEventHead(out, event);
    if (event.payload)
        appender.write(reinterpret_cast<const char*>(event.payload->packed()), event.payload->packedSize());
    else
        out.pack_str(0);
    packEventTail(out, event);
}

EventBytes EventBytes::of(Event& event, std::vector<std::uint8_t>& scratch)
{
    if (event.payload) {
        PackedPayload& payload = *event.payload;
        const std::size_t head = packedSize([&](auto& out) { packEventHead(out, event); });
        if (head <= payload.front_) {
            std::uint8_t* start = payload.bytes_.data() + payload.front_ - head;
            packInto(start, [&](auto& out) { packEventHead(out, event); });
            packInto(payload.bytes_.data() + payload.front_ + payload.packedSize_,
                     [&](auto& out) { packEventTail(out, event); });
            return EventBytes{start, head + payload.packedSize_ + eventTailSize, false};
        }
    }
    encodeEventInto(scratch, event);
    return EventBytes{scratch.data(), scratch.size(), true};
}

std::vector<std::uint8_t> encodeEvent(const Event& event)
{
    std::vector<std::uint8_t> bytes;
    encodeEventInto(bytes, event);
    return bytes;
}

namespace {

// What a reply map says, its text still in the reply's bytes.
struct ReplyView {
    Result::Kind kind = Result::Kind::Null;
    const msgpack::object* payload = nullptr; // a string pointing into the reply, or absent
};

std::optional<ReplyView> readReplyView(const msgpack::object_handle& handle)
{
    const msgpack::object& reply = handle.get();
    if (reply.type != msgpack::type::MAP)
        return std::nullopt;

    const msgpack::object* isError = findKey(reply.via.map, "is_error");
    const msgpack::object* isNull = findKey(reply.via.map, "is_null");
    const msgpack::object* payload = findKey(reply.via.map, "payload_json");
    if ((isError && isError->type != msgpack::type::BOOLEAN) || (isNull && isNull->type != msgpack::type::BOOLEAN) ||
        (payload && payload->type != msgpack::type::STR))
        return std::nullopt;
    if (isError && isError->via.boolean)
        return ReplyView{Result::Kind::Error, payload};
    if (isNull && isNull->via.boolean)
        return ReplyView{Result::Kind::Null, nullptr};
    return ReplyView{Result::Kind::Text, payload};
}

// Empty bytes are no reply either: the decoder finds them too short.
std::optional<msgpack::object_handle> unpackReply(const std::uint8_t* data, std::size_t length)
{
    try {
        return unpackBounded(data, length);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

Result copied(const ReplyView& view)
{
    std::string text =
        view.payload ? std::string(view.payload->via.str.ptr, view.payload->via.str.size) : std::string();
    switch (view.kind) {
    case Result::Kind::Error:
        return Result::error(std::move(text));
    case Result::Kind::Null:
        return Result::null();
    default:
        return Result::ofText(std::move(text));
    }
}

// Length of the MessagePack string header right in front of `text` within
// `data`, as an encoder may have written it for a string of `size` bytes; 0
// when the bytes there are no such header.
std::size_t stringHeaderBefore(const std::uint8_t* data, const std::uint8_t* text, std::size_t size)
{
    const auto room = static_cast<std::size_t>(text - data);
    const auto byte = [&](std::size_t back) {
        return static_cast<std::size_t>(text[-static_cast<std::ptrdiff_t>(back)]);
    };
    if (size < 32 && room >= 1 && byte(1) == (0xa0 | size))
        return 1;
    // A one- or two-byte length field holds no larger size, so it says which header fits.
    if (room >= 2 && byte(2) == 0xd9 && byte(1) == size)
        return 2;
    if (room >= 3 && byte(3) == 0xda && ((byte(2) << 8) | byte(1)) == size)
        return 3;
    if (room >= 5 && byte(5) == 0xdb && ((byte(4) << 24) | (byte(3) << 16) | (byte(2) << 8) | byte(1)) == size)
        return 5;
    return 0;
}

} // namespace

Result decodeReplyMapHeld(std::uint8_t* buffer, const std::uint8_t* data, std::size_t length, HeldText::Release release,
                          bool& held)
{
    held = false;
    const auto handle = unpackReply(data, length);
    const auto view = handle ? readReplyView(*handle) : std::nullopt;
    if (!view)
        return unreadableReply;
    if (view->kind == Result::Kind::Null || view->payload == nullptr)
        return copied(*view);

    const auto* text = reinterpret_cast<const std::uint8_t*>(view->payload->via.str.ptr);
    const std::size_t size = view->payload->via.str.size;
    if (text < data || text + size > data + length)
        return copied(*view);
    const std::size_t header = stringHeaderBefore(data, text, size);
    if (header == 0)
        return copied(*view);
    auto value = std::make_shared<const HeldText>(buffer, release, text - header, header + size,
                                                  std::string_view(view->payload->via.str.ptr, size));
    held = true;
    return Result::heldText(view->kind, std::move(value));
}

} // namespace halvora::adapter
