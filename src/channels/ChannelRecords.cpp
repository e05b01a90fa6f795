#include "channels/ChannelMessage.h"

#include <cstdint>
#include <string_view>
#include <utility>

namespace HalvoraAdapterApi {

bool EndpointId::operator==(const EndpointId& other) const
{
    return uuid == other.uuid && name == other.name && channelName == other.channelName &&
           channelId == other.channelId && endpointId == other.endpointId;
}

bool EndpointId::operator!=(const EndpointId& other) const
{
    return !(*this == other);
}

namespace detail {

namespace {

EventType eventTypeFromMsgPack(const msgpack::object& value)
{
    if (value.type != msgpack::type::STR) {
        return EventType::Unknown;
    }
    const std::string_view text(value.via.str.ptr, value.via.str.size);
    static constexpr std::pair<std::string_view, EventType> known[] = {
        {"AdapterDisconnected", EventType::AdapterDisconnected},
        {"ChannelMessage", EventType::ChannelMessage},
        {"ChannelDisconnected", EventType::ChannelDisconnected},
        {"ChannelProviderMessage", EventType::ChannelProviderMessage},
        {"ProviderClientConnected", EventType::ProviderClientConnected},
        {"ProviderClientDisconnected", EventType::ProviderClientDisconnected},
    };
    for (const auto& [name, type] : known) {
        if (text == name) {
            return type;
        }
    }
    return EventType::Unknown;
}

} // namespace

ChannelMessage channelMessageFromMsgPack(const msgpack::object& event)
{
    ChannelMessage message;
    message.type = eventTypeFromMsgPack(elementAt(event, 0));
    message.endpoint = endpointIdFromMsgPack(elementAt(event, 1));
    message.channelName = stringValue(elementAt(event, 2));
    message.topic = stringValue(elementAt(event, 3));
    message.payloadIsNull = boolValue(elementAt(event, 6));
    if (!message.payloadIsNull) {
        message.payload = std::make_shared<std::string>(stringValue(elementAt(event, 4)));
    }
    return message;
}

EndpointId endpointIdFromMsgPack(const msgpack::object& value)
{
    EndpointId endpoint;
    endpoint.uuid = stringValue(elementAt(value, 0));
    endpoint.name = stringValue(elementAt(value, 1));
    endpoint.channelName = stringValue(elementAt(value, 2));
    endpoint.channelId = stringValue(elementAt(value, 3));
    endpoint.endpointId = stringValue(elementAt(value, 4));
    return endpoint;
}

void packEndpointId(Packer& packer, const EndpointId& endpoint)
{
    // Keys in ascending byte order.
    packMapHeader(packer, 5);
    packString(packer, "channel_id");
    packString(packer, endpoint.channelId);
    packString(packer, "channel_name");
    packString(packer, endpoint.channelName);
    packString(packer, "endpoint_id");
    packString(packer, endpoint.endpointId);
    packString(packer, "name");
    packString(packer, endpoint.name);
    packString(packer, "uuid");
    packString(packer, endpoint.uuid);
}

} // namespace detail
} // namespace HalvoraAdapterApi

namespace std {

// Mixes each field hash into the running value (boost-style combine), so
// that equal fields do not cancel out as they would under plain XOR.
size_t hash<HalvoraAdapterApi::EndpointId>::operator()(const HalvoraAdapterApi::EndpointId& endpoint) const noexcept
{
    const hash<string> hashString;
    std::uint64_t seed = 0;
    for (const string* field :
         {&endpoint.uuid, &endpoint.name, &endpoint.channelName, &endpoint.channelId, &endpoint.endpointId}) {
        seed ^= hashString(*field) + 0x9e3779b97f4a7c15ULL + (seed << 12) + (seed >> 4);
    }
    return static_cast<size_t>(seed);
}

} // namespace std
