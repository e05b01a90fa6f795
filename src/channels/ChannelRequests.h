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

void packRecord(Packer& packer, const ConnectToProviderRequest& request);
void packRecord(Packer& packer, const DisconnectFromProviderRequest& request);
void packRecord(Packer& packer, const ClientDispatchRequest& request);
void packRecord(Packer& packer, const CreateProviderRequest& request);
void packRecord(Packer& packer, const DispatchToEndpointRequest& request);

} // namespace detail
} // namespace HalvoraAdapterApi
