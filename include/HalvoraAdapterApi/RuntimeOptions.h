#pragma once

#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/RvmOptions.h>

#include <cstdint>
#include <memory>
#include <string>

namespace HalvoraAdapterApi {

/// @brief Which runtime an application wants and how to reach or start it: a
/// plain value that RuntimeFactory::getRuntimeInstance takes.
///
/// The runtime identity is uuid + "/" + version, followed by "/" +
/// securityRealm when that is not empty; no other field changes it.
class HALVORA_ADAPTER_API RuntimeOptions {
public:
    /// @brief How the adapter finds the runtime; passed as its numeric value.
    enum class PortDiscoveryMode : std::int32_t {
        FixedPort = 0, ///< Connect to `port` as given.
        Automatic = 1, ///< Let the adapter find the runtime's port.
    };

    /// @brief Whether the adapter may start the runtime; passed as its numeric value.
    enum class RuntimeConnectOptions : std::uint16_t {
        Default = 0,     ///< Connect, starting the runtime when needed.
        ConnectOnly = 1, ///< Connect to a running runtime only.
    };

    /// @brief Options for @p uuid and @p version with the defaults: host
    /// "127.0.0.1", port 0, automatic port discovery, no arguments, no RVM
    /// options, no security realm, default connect, heartbeating on.
    RuntimeOptions(const std::string& uuid, const std::string& version);
    /// @brief Options with every field given; @p rvmOptions is copied into a
    /// shared, immutable object.
    RuntimeOptions(const std::string& uuid, const std::string& version, const std::string& host, int port,
                   PortDiscoveryMode portDiscoveryMode, const std::string& arguments, const RvmOptions& rvmOptions,
                   const std::string& securityRealm, RuntimeConnectOptions runtimeConnectOptions,
                   bool disableHeartbeating);
    /// @brief Copies every field; the copy shares the same RvmOptions object.
    RuntimeOptions(const RuntimeOptions& other);
    /// @brief Takes every field; the source's strings and RVM options are left empty.
    RuntimeOptions(RuntimeOptions&& other) noexcept;
    /// @brief Copies every field; both then share the same RvmOptions object.
    RuntimeOptions& operator=(const RuntimeOptions& other);
    /// @brief Takes every field; the source's strings and RVM options are left empty.
    RuntimeOptions& operator=(RuntimeOptions&& other) noexcept;
    ~RuntimeOptions();

    std::string uuid;                             ///< The application's uuid; part of the identity.
    std::string version;                          ///< The runtime version wanted; part of the identity.
    std::string host;                             ///< Where the runtime listens.
    int port;                                     ///< The runtime's port; 0 for none given.
    PortDiscoveryMode portDiscoveryMode;          ///< How the port is found.
    std::string arguments;                        ///< Arguments for starting the runtime.
    std::shared_ptr<const RvmOptions> rvmOptions; ///< Options for the version manager; empty when absent.
    std::string securityRealm;                    ///< Optional realm; part of the identity when not empty.
    RuntimeConnectOptions runtimeConnectOptions;  ///< Whether the runtime may be started.
    bool disableHeartbeating;                     ///< true to turn the runtime's heartbeat off.
};

} // namespace HalvoraAdapterApi
