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

struct DispatchToEndpointRequest {
    std::uint64_t handle = 0;
    EndpointId destination;
    std::string source;
    std::string payloadJson;
    std::string topic;
    bool isNull = false;
};

// Room for the keys, the headers and the handle beyond the texts.
inline constexpr std::size_t requestOverhead = 256;

inline std::size_t requestSizeHint(const DispatchToEndpointRequest& request)
{
    const EndpointId& to = request.destination;
    return requestOverhead + to.uuid.size() + to.name.size() + to.channelName.size() + to.channelId.size() +
           to.endpointId.size() + request.source.size() + request.payloadJson.size() + request.topic.size();
}

void packRecord(Packer& packer, const ConnectToProviderRequest& request);
void packRecord(Packer& packer, const DisconnectFromProviderRequest& request);
void packRecord(Packer& packer, const CreateProviderRequest& request);
void packRecord(Packer& packer, const DispatchToEndpointRequest& request);

} // namespace detail
} // namespace HalvoraAdapterApi
