#include "options/OptionsMsgPack.h"

#include <cstdint>

namespace HalvoraAdapterApi {
namespace detail {

void packRvmOptions(Packer& packer, const RvmOptions& options)
{
    // Keys in ascending byte order; every entry is always written.
    packMapHeader(packer, 6);
    packString(packer, "cacheKey");
    packMapHeader(packer, 4);
    packString(packer, "companyName");
    packString(packer, options.cacheKey.companyName);
    packString(packer, "productName");
    packString(packer, options.cacheKey.productName);
    packString(packer, "productVersion");
    packString(packer, options.cacheKey.productVersion);
    packString(packer, "runtimeVersion");
    packString(packer, options.cacheKey.runtimeVersion);
    packString(packer, "disableAutoUpdates");
    packBool(packer, options.disableAutoUpdates);
    packString(packer, "doNotLaunch");
    packBool(packer, options.doNotLaunch);
    packString(packer, "installDirectory");
    packString(packer, options.installDirectory);
    packString(packer, "noUi");
    packBool(packer, options.noUi);
    packString(packer, "workingDirectory");
    packString(packer, options.workingDirectory);
}

void packRuntimeOptions(Packer& packer, const RuntimeOptions& options)
{
    const bool withRvmOptions = static_cast<bool>(options.rvmOptions);
    const bool withSecurityRealm = !options.securityRealm.empty();
    packMapHeader(packer, 8 + (withRvmOptions ? 1 : 0) + (withSecurityRealm ? 1 : 0));
    // Keys in ascending byte order.
    packString(packer, "arguments");
    packString(packer, options.arguments);
    packString(packer, "disable_heartbeating");
    packBool(packer, options.disableHeartbeating);
    packString(packer, "host");
    packString(packer, options.host);
    packString(packer, "port");
    packInt32(packer, static_cast<std::int32_t>(options.port));
    packString(packer, "port_discovery_mode");
    packInt32(packer, static_cast<std::int32_t>(options.portDiscoveryMode));
    packString(packer, "runtime_connect_options");
    packUInt16(packer, static_cast<std::uint16_t>(options.runtimeConnectOptions));
    if (withRvmOptions) {
        packString(packer, "rvm_options");
        packRvmOptions(packer, *options.rvmOptions);
    }
    if (withSecurityRealm) {
        packString(packer, "security_realm");
        packString(packer, options.securityRealm);
    }
    packString(packer, "uuid");
    packString(packer, options.uuid);
    packString(packer, "version");
    packString(packer, options.version);
}

} // namespace detail
} // namespace HalvoraAdapterApi
