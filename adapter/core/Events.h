// The wire forms shared by every transport: channel events sent to a runtime
// and the reply map a runtime answers them with.
#pragma once

#include "core/PayloadBlock.h"
#include "core/Result.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
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

// A message's payload, written once, as the MessagePack string its event
// carries, with room in front for the event's fields before it and behind
// for the two after it: the event is then finished around the payload
// instead of copying the payload into the event once more.
class PackedPayload {
public:
    // `room` is what the fields in front may take; more only costs a copy.
    PackedPayload(std::string_view text, std::size_t room);

    const std::uint8_t* packed() const { return bytes_.data() + front_; }
    std::size_t packedSize() const { return packedSize_; }

private:
    friend struct EventBytes;
    PayloadBlock bytes_;
    std::size_t front_ = 0;
    std::size_t packedSize_ = 0;
};

// Endpoints do not change once made, so every event of one shares its texts.
using SharedEndpoint = std::shared_ptr<const Endpoint>;

struct Event {
    std::string_view type;   // one of event_type's names, which live as long as the process
    SharedEndpoint endpoint; // the sender, or the client that came or went; none: empty texts
    std::string channelName;
    std::string topic;
    std::optional<PackedPayload> payload; // empty: the message has no payload
};

// The event's endpoint, or one with empty texts when it has none.
const Endpoint& endpointOf(const Event& event);

// The seven-element array a runtime receives for one event.
std::vector<std::uint8_t> encodeEvent(const Event& event);
// The same into `bytes`, replacing what they held and reusing their capacity.
void encodeEventInto(std::vector<std::uint8_t>& bytes, const Event& event);

// An event's bytes as they are handed on: finished in place around its
// payload when the payload's room allows, else written into a scratch
// buffer. They live as long as the event and the scratch buffer.
struct EventBytes {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    bool inScratch = false;

    static EventBytes of(Event& event, std::vector<std::uint8_t>& scratch);
};

// Reads the reply map {"is_error", "is_null", "payload_json"} at `data`
// inside `buffer`; a reply that is not such a map becomes an error result,
// never an exception. When the reply is text or an error whose
// "payload_json" can be handed on as it lies, the result holds `buffer`,
// which goes back through `release` once the result's last holder lets go,
// and `held` is set. Otherwise the text is copied and `buffer` stays the
// caller's.
Result decodeReplyMapHeld(std::uint8_t* buffer, const std::uint8_t* data, std::size_t length, HeldText::Release release,
                          bool& held);

} // namespace halvora::adapter
