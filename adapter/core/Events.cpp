#include "core/Events.h"

#include "core/Packing.h"
#include "core/RequestMap.h"

#include <cstring>

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

} // namespace

void encodeEventInto(std::vector<std::uint8_t>& bytes, const Event& event)
{
    const auto pack = [&](auto& out) {
        out.pack_array(7);
        out.pack(event.type);
        out.pack_array(5);
        out.pack(event.endpoint.uuid);
        out.pack(event.endpoint.name);
        out.pack(event.endpoint.channelName);
        out.pack(event.endpoint.channelId);
        out.pack(event.endpoint.endpointId);
        out.pack(event.channelName);
        out.pack(event.topic);
        if (event.payload)
            out.pack(*event.payload);
        else
            out.pack_str(0);
        out.pack_str(0); // reserved
        out.pack(!event.payload.has_value());
    };
    // Sized, not zero-filled: every byte is written once, by the packer.
    bytes.clear();
    bytes.reserve(packedSize(pack));
    struct Appender {
        std::vector<std::uint8_t>& bytes;
        void write(const char* data, std::size_t length)
        {
            const auto* first = reinterpret_cast<const std::uint8_t*>(data);
            bytes.insert(bytes.end(), first, first + length);
        }
    } appender{bytes};
    msgpack::packer<Appender> out(appender);
    pack(out);
}

std::vector<std::uint8_t> encodeEvent(const Event& event)
{
    std::vector<std::uint8_t> bytes;
    encodeEventInto(bytes, event);
    return bytes;
}

Result decodeReplyMap(const std::uint8_t* data, std::size_t length)
{
    if (data == nullptr || length == 0)
        return unreadableReply;
    msgpack::object_handle handle;
    try {
        handle = unpackBounded(data, length);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return unreadableReply;
    }
    const msgpack::object& reply = handle.get();
    if (reply.type != msgpack::type::MAP)
        return unreadableReply;

    const msgpack::object* isError = findKey(reply.via.map, "is_error");
    const msgpack::object* isNull = findKey(reply.via.map, "is_null");
    const msgpack::object* payload = findKey(reply.via.map, "payload_json");
    if ((isError && isError->type != msgpack::type::BOOLEAN) || (isNull && isNull->type != msgpack::type::BOOLEAN) ||
        (payload && payload->type != msgpack::type::STR))
        return unreadableReply;

    std::string text = payload ? std::string(payload->via.str.ptr, payload->via.str.size) : std::string();
    if (isError && isError->via.boolean)
        return Result::error(std::move(text));
    if (isNull && isNull->via.boolean)
        return Result::null();
    return Result::ofText(std::move(text));
}

} // namespace halvora::adapter
