// Channel records: one decoded channel event, and the conversions between
// endpoint ids and their MessagePack forms (arrays in events, maps in requests).
#pragma once

#include <HalvoraAdapterApi/EndpointId.h>

#include "native/MsgPack.h"

#include <cstdint>
#include <memory>
#include <string>

namespace HalvoraAdapterApi {
namespace detail {

// The event types the runtime sends; any other reads as Unknown and is ignored.
enum class EventType {
    Unknown,
    AdapterDisconnected,
    ChannelMessage,
    ChannelDisconnected,
    ChannelProviderMessage,
    ProviderClientConnected,
    ProviderClientDisconnected,
};

struct ChannelMessage {
    // Told apart once, at decoding, rather than by comparing texts at every turn.
    EventType type = EventType::Unknown;
    EndpointId endpoint;
    std::string channelName;
    std::string topic;
    // Empty when the event marks the payload as null; otherwise the one copy
    // of it that every handler of the event shares.
    std::shared_ptr<std::string> payload;
    bool payloadIsNull = false;
};

// Reads a seven-element event array by position (the sixth, reserved, is
// skipped). Never fails: missing or mistyped elements read as empty strings,
// false and EventType::Unknown.
ChannelMessage channelMessageFromMsgPack(const msgpack::object& event);
// The same, straight from the event's bytes, for events in the form that
// adapters write (every text a string, the null flag a boolean). False for
// any other form, which is then left to the general decoder. Nothing is
// allocated beyond the message's own texts.
bool readChannelEvent(const std::uint8_t* data, std::uint64_t length, ChannelMessage& message);
// Reads five strings from array positions 0 to 4, the same way.
EndpointId endpointIdFromMsgPack(const msgpack::object& value);
// Writes the five-key map that requests carry.
void packEndpointId(Packer& packer, const EndpointId& endpoint);

} // namespace detail
} // namespace HalvoraAdapterApi
