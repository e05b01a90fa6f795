#pragma once

#include <HalvoraAdapterApi/Export.h>

#include <string>

namespace HalvoraAdapterApi {

/// @brief Options for starting the runtime through the runtime version
/// manager. A plain value: it is copied into the requests that carry it.
class HALVORA_ADAPTER_API RvmOptions {
public:
    /// @brief What the version manager caches a runtime under.
    struct CacheKey {
        std::string productName;    ///< The application product's name.
        std::string productVersion; ///< The application product's version.
        std::string companyName;    ///< The company that ships the product.
        std::string runtimeVersion; ///< The runtime version the product needs.
    };

    /// @brief Options with every field given.
    RvmOptions(bool noUi, bool disableAutoUpdates, bool doNotLaunch, const std::string& installDirectory,
               const std::string& workingDirectory, const std::string& productName, const std::string& productVersion,
               const std::string& companyName, const std::string& runtimeVersion);
    /// @brief Copies every field.
    RvmOptions(const RvmOptions& other);
    /// @brief Takes every field; leaves the source's strings empty and its flags unchanged.
    RvmOptions(RvmOptions&& other) noexcept;
    /// @brief Copies every field.
    RvmOptions& operator=(const RvmOptions& other);
    /// @brief Takes every field; leaves the source's strings empty and its flags unchanged.
    RvmOptions& operator=(RvmOptions&& other) noexcept;
    ~RvmOptions();

    bool noUi;                    ///< Start without user interface.
    bool disableAutoUpdates;      ///< Do not update the runtime while starting it.
    bool doNotLaunch;             ///< Install or update only; do not start the runtime.
    std::string installDirectory; ///< Where runtimes are installed; empty for the default.
    std::string workingDirectory; ///< The working directory of the started runtime.
    CacheKey cacheKey;            ///< What the runtime is cached under.
};

} // namespace HalvoraAdapterApi
