// The wire forms shared by every transport: channel events sent to a runtime
// and the reply map a runtime answers them with.
#pragma once

#include "core/Result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvora::adapter {

// One endpoint of a channel connection, as events carry it.
struct Endpoint {
    std::string uuid;
    std::string name;
    std::string channelName;
    std::string channelId;
    std::string endpointId;
};

namespace event_type {
inline constexpr const char* adapterDisconnected = "AdapterDisconnected";
inline constexpr const char* channelMessage = "ChannelMessage";
inline constexpr const char* channelDisconnected = "ChannelDisconnected";
inline constexpr const char* channelProviderMessage = "ChannelProviderMessage";
inline constexpr const char* providerClientConnected = "ProviderClientConnected";
inline constexpr const char* providerClientDisconnected = "ProviderClientDisconnected";
} // namespace event_type

struct Event {
    std::string type;
    Endpoint endpoint; // the sender, or the client that came or went
    std::string channelName;
    std::string topic;
    std::optional<std::string> payload; // empty: the message has no payload
};

// The seven-element array a runtime receives for one event.
std::vector<std::uint8_t> encodeEvent(const Event& event);
// The same into `bytes`, replacing what they held and reusing their capacity.
void encodeEventInto(std::vector<std::uint8_t>& bytes, const Event& event);

// Reads the reply map {"is_error", "is_null", "payload_json"}. A reply that
// is not such a map becomes an error result, never an exception.
Result decodeReplyMap(const std::uint8_t* data, std::size_t length);

} // namespace halvora::adapter
