// The requests that channel ends send to the native adapter, each with its
// packRecord overload for encodeRequest().
#pragma once

#include <HalvoraAdapterApi/EndpointId.h>

#include "native/MsgPack.h"

#include <cstdint>
#include <string>

namespace HalvoraAdapterApi {
namespace detail {

struct ConnectToProviderRequest {
    std::uint64_t handle = 0;
    std::string providerName;
    bool wait = false;
};

struct DisconnectFromProviderRequest {
    std::uint64_t handle = 0;
    std::string clientId;
};

// A client dispatch {"client_id", "handle", "is_null", "payload_json",
// "topic"} in two parts: the caller's entries are written when the dispatch
// is queued, straight from the caller's payload; the client's identity and
// the runtime handle, read when it is sent, are written in front of them.
// `clientIdHint` is the identity's length as far as it is known when queued.
SplitRequest clientDispatchTail(const std::string& topic, const std::string& payload, bool isNull,
                                std::size_t clientIdHint);
EncodedRequest finishClientDispatch(SplitRequest tail, std::uint64_t handle, const std::string& clientId);

struct CreateProviderRequest {
    std::uint64_t handle = 0;
    std::string providerName;
};

// Room for the keys, the headers and the handle beyond the texts.
inline constexpr std::size_t requestOverhead = 256;

// A dispatch to an endpoint {"destination", "handle", "is_null",
// "payload_json", "source", "topic"}, split as a client dispatch is: the
// payload is written when the dispatch is queued; the destination and the
// runtime handle in front of it, the provider's identity and the topic
// behind it, when it is sent. `sourceHint` is the identity's length as far as
// it is known when queued.
SplitRequest dispatchToEndpointTail(const EndpointId& destination, const std::string& topic, const std::string& payload,
                                    bool isNull, std::size_t sourceHint);
EncodedRequest finishDispatchToEndpoint(SplitRequest tail, const EndpointId& destination, std::uint64_t handle,
                                        const std::string& source, const std::string& topic);

void packRecord(Packer& packer, const ConnectToProviderRequest& request);
void packRecord(Packer& packer, const DisconnectFromProviderRequest& request);
void packRecord(Packer& packer, const CreateProviderRequest& request);

} // namespace detail
} // namespace HalvoraAdapterApi
