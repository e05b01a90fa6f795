#pragma once

#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/RvmOptions.h>

#include <cstdint>
#include <memory>
#include <string>

namespace HalvoraAdapterApi {

// Which runtime an application wants and how to reach or start it. The
// runtime identity is uuid + "/" + version (+ "/" + securityRealm).
class HALVORA_ADAPTER_API RuntimeOptions {
public:
    // Passed to the native adapter as its numeric value.
    enum class PortDiscoveryMode : std::int32_t {
        FixedPort = 0, // connect to `port` as given
        Automatic = 1, // let the adapter find the runtime's port
    };

    // Passed to the native adapter as its numeric value.
    enum class RuntimeConnectOptions : std::uint16_t {
        Default = 0,     // connect, starting the runtime when needed
        ConnectOnly = 1, // connect to a running runtime only
    };

    RuntimeOptions(const std::string& uuid, const std::string& version);
    RuntimeOptions(const std::string& uuid, const std::string& version, const std::string& host, int port,
                   PortDiscoveryMode portDiscoveryMode, const std::string& arguments,
                   const RvmOptions& rvmOptions, const std::string& securityRealm,
                   RuntimeConnectOptions runtimeConnectOptions, bool disableHeartbeating);
    // Copies share the same RvmOptions object.
    RuntimeOptions(const RuntimeOptions& other);
    RuntimeOptions(RuntimeOptions&& other) noexcept;
    RuntimeOptions& operator=(const RuntimeOptions& other);
    RuntimeOptions& operator=(RuntimeOptions&& other) noexcept;
    ~RuntimeOptions();

    std::string uuid;
    std::string version;
    std::string host;
    int port;
    PortDiscoveryMode portDiscoveryMode;
    std::string arguments;
    std::shared_ptr<const RvmOptions> rvmOptions; // empty when absent
    std::string securityRealm;
    RuntimeConnectOptions runtimeConnectOptions;
    bool disableHeartbeating;
};

} // namespace HalvoraAdapterApi
