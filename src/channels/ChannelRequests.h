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

struct ClientDispatchRequest {
    std::uint64_t handle = 0;
    std::string clientId;
    std::string payloadJson;
    std::string topic;
    bool isNull = false;
};

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

inline std::size_t requestSizeHint(const ClientDispatchRequest& request)
{
    return requestOverhead + request.clientId.size() + request.payloadJson.size() + request.topic.size();
}

inline std::size_t requestSizeHint(const DispatchToEndpointRequest& request)
{
    const EndpointId& to = request.destination;
    return requestOverhead + to.uuid.size() + to.name.size() + to.channelName.size() + to.channelId.size() +
           to.endpointId.size() + request.source.size() + request.payloadJson.size() + request.topic.size();
}

void packRecord(Packer& packer, const ConnectToProviderRequest& request);
void packRecord(Packer& packer, const DisconnectFromProviderRequest& request);
void packRecord(Packer& packer, const ClientDispatchRequest& request);
void packRecord(Packer& packer, const CreateProviderRequest& request);
void packRecord(Packer& packer, const DispatchToEndpointRequest& request);

} // namespace detail
} // namespace HalvoraAdapterApi
