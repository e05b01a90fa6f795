#pragma once

#include <HalvoraAdapterApi/Export.h>

#include <cstddef>
#include <functional>
#include <string>

namespace HalvoraAdapterApi {

/// @brief One endpoint of a channel connection, as the runtime names it: a
/// plain value, usable as a key of unordered containers.
struct HALVORA_ADAPTER_API EndpointId {
    std::string uuid;        ///< The uuid of the application that owns the endpoint.
    std::string name;        ///< The name of that application's connection.
    std::string channelName; ///< The channel's name.
    std::string channelId;   ///< The runtime's id of the channel.
    std::string endpointId;  ///< The runtime's id of this endpoint.

    /// @brief Equal when all five fields are equal byte for byte.
    bool operator==(const EndpointId& other) const;
    /// @brief The negation of operator==.
    bool operator!=(const EndpointId& other) const;
};

} // namespace HalvoraAdapterApi

namespace std {
/// @brief Hashes all five fields of an endpoint id.
template <>
struct HALVORA_ADAPTER_API hash<HalvoraAdapterApi::EndpointId> {
    /// @brief The combined hash of the five fields.
    std::size_t operator()(const HalvoraAdapterApi::EndpointId& endpoint) const noexcept;
};
} // namespace std
