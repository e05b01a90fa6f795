#include "core/Events.h"

#include "core/RequestMap.h"

#include <cstring>

namespace halvora::adapter {

namespace {

void packString(msgpack::packer<msgpack::sbuffer>& out, const std::string& text)
{
    out.pack(text);
}

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

std::vector<std::uint8_t> encodeEvent(const Event& event)
{
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> out(buffer);
    out.pack_array(7);
    packString(out, event.type);
    out.pack_array(5);
    packString(out, event.endpoint.uuid);
    packString(out, event.endpoint.name);
    packString(out, event.endpoint.channelName);
    packString(out, event.endpoint.channelId);
    packString(out, event.endpoint.endpointId);
    packString(out, event.channelName);
    packString(out, event.topic);
    packString(out, event.payload ? *event.payload : std::string());
    packString(out, std::string()); // reserved
    out.pack(!event.payload.has_value());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
    return std::vector<std::uint8_t>(bytes, bytes + buffer.size());
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
