#pragma once

#include <HalvoraAdapterApi/Export.h>

#include <cstddef>
#include <functional>
#include <string>

namespace HalvoraAdapterApi {

// One endpoint of a channel connection, as the runtime names it.
struct HALVORA_ADAPTER_API EndpointId {
    std::string uuid;
    std::string name;
    std::string channelName;
    std::string channelId;
    std::string endpointId;

    // Equal when all five fields are equal byte for byte.
    bool operator==(const EndpointId& other) const;
    bool operator!=(const EndpointId& other) const;
};

} // namespace HalvoraAdapterApi

namespace std {
template <>
struct HALVORA_ADAPTER_API hash<HalvoraAdapterApi::EndpointId> {
    std::size_t operator()(const HalvoraAdapterApi::EndpointId& endpoint) const noexcept;
};
} // namespace std
