#include "channels/ChannelMessage.h"

#include "native/PayloadMemory.h"

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

EventType eventTypeFromText(std::string_view text)
{
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

EventType eventTypeFromMsgPack(const msgpack::object& value)
{
    if (value.type != msgpack::type::STR) {
        return EventType::Unknown;
    }
    return eventTypeFromText(std::string_view(value.via.str.ptr, value.via.str.size));
}

// Reads MessagePack values of the shapes that events are written in, straight
// from the bytes and without allocating. Every read checks the bytes left and
// fails on any other shape.
class EventBytes {
public:
    EventBytes(const std::uint8_t* data, std::uint64_t length) : next(data), left(length) {}

    bool array(std::uint32_t count)
    {
        if (left >= 1 && count < 16 && next[0] == 0x90 + count) {
            return skip(1);
        }
        if (left >= 3 && next[0] == 0xdc && bigEndian(next + 1, 2) == count) {
            return skip(3);
        }
        return left >= 5 && next[0] == 0xdd && bigEndian(next + 1, 4) == count && skip(5);
    }

    bool text(std::string_view& value)
    {
        if (left < 1) {
            return false;
        }
        std::uint64_t header = 1;
        std::uint64_t size = 0;
        if ((next[0] & 0xe0) == 0xa0) {
            size = next[0] & 0x1f;
        } else if (next[0] >= 0xd9 && next[0] <= 0xdb) {
            const unsigned width = 1U << (next[0] - 0xd9); // str 8, 16, 32
            header += width;
            if (left < header) {
                return false;
            }
            size = bigEndian(next + 1, width);
        } else {
            return false;
        }
        if (left - header < size) {
            return false;
        }
        value = std::string_view(reinterpret_cast<const char*>(next + header), static_cast<std::size_t>(size));
        return skip(header + size);
    }

    bool boolean(bool& value)
    {
        if (left < 1 || (next[0] != 0xc2 && next[0] != 0xc3)) {
            return false;
        }
        value = next[0] == 0xc3;
        return skip(1);
    }

private:
    static std::uint64_t bigEndian(const std::uint8_t* bytes, unsigned width)
    {
        std::uint64_t value = 0;
        for (unsigned i = 0; i < width; ++i) {
            value = (value << 8) | bytes[i];
        }
        return value;
    }

    bool skip(std::uint64_t count)
    {
        next += count;
        left -= count;
        return true;
    }

    const std::uint8_t* next;
    std::uint64_t left;
};

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

bool readChannelEvent(const std::uint8_t* data, std::uint64_t length, ChannelMessage& message)
{
    if (data == nullptr) {
        return false;
    }
    EventBytes bytes(data, length);
    std::string_view type;
    std::string_view endpoint[5];
    std::string_view channelName;
    std::string_view topic;
    std::string_view payload;
    std::string_view reserved;
    bool payloadIsNull = false;
    if (!bytes.array(7) || !bytes.text(type) || !bytes.array(5) || !bytes.text(endpoint[0]) ||
        !bytes.text(endpoint[1]) || !bytes.text(endpoint[2]) || !bytes.text(endpoint[3]) || !bytes.text(endpoint[4]) ||
        !bytes.text(channelName) || !bytes.text(topic) || !bytes.text(payload) || !bytes.text(reserved) ||
        !bytes.boolean(payloadIsNull)) {
        return false;
    }
    message.endpoint = EndpointId{std::string(endpoint[0]), std::string(endpoint[1]), std::string(endpoint[2]),
                                  std::string(endpoint[3]), std::string(endpoint[4])};
    message.channelName = std::string(channelName);
    message.topic = std::string(topic);
    message.payloadIsNull = payloadIsNull;
    message.type = eventTypeFromText(type);
    if (!payloadIsNull) {
        message.payload = sharedText(payload, true);
    }
    return true;
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
