#pragma once

#include <HalvoraAdapterApi/Export.h>

#include <string>

namespace HalvoraAdapterApi {

// Options for starting the runtime through the runtime version manager.
// A plain value: it is copied into the requests that carry it.
class HALVORA_ADAPTER_API RvmOptions {
public:
    struct CacheKey {
        std::string productName;
        std::string productVersion;
        std::string companyName;
        std::string runtimeVersion;
    };

    RvmOptions(bool noUi, bool disableAutoUpdates, bool doNotLaunch, const std::string& installDirectory,
               const std::string& workingDirectory, const std::string& productName,
               const std::string& productVersion, const std::string& companyName,
               const std::string& runtimeVersion);
    RvmOptions(const RvmOptions& other);
    // Leaves the source's strings empty and its flags unchanged.
    RvmOptions(RvmOptions&& other) noexcept;
    RvmOptions& operator=(const RvmOptions& other);
    RvmOptions& operator=(RvmOptions&& other) noexcept;
    ~RvmOptions();

    bool noUi;
    bool disableAutoUpdates;
    bool doNotLaunch;
    std::string installDirectory;
    std::string workingDirectory;
    CacheKey cacheKey;
};

} // namespace HalvoraAdapterApi
