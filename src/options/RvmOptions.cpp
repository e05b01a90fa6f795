#include <HalvoraAdapterApi/RvmOptions.h>

#include <utility>

namespace HalvoraAdapterApi {

RvmOptions::RvmOptions(bool noUi, bool disableAutoUpdates, bool doNotLaunch, const std::string& installDirectory,
                       const std::string& workingDirectory, const std::string& productName,
                       const std::string& productVersion, const std::string& companyName,
                       const std::string& runtimeVersion)
    : noUi(noUi), disableAutoUpdates(disableAutoUpdates), doNotLaunch(doNotLaunch), installDirectory(installDirectory),
      workingDirectory(workingDirectory), cacheKey{productName, productVersion, companyName, runtimeVersion}
{}

RvmOptions::RvmOptions(const RvmOptions& other) = default;

RvmOptions::RvmOptions(RvmOptions&& other) noexcept
    : noUi(other.noUi), disableAutoUpdates(other.disableAutoUpdates), doNotLaunch(other.doNotLaunch),
      installDirectory(std::move(other.installDirectory)), workingDirectory(std::move(other.workingDirectory)),
      cacheKey(std::move(other.cacheKey))
{
    // A moved-from std::string is only "valid but unspecified"; the class
    // promises empty strings.
    other.installDirectory.clear();
    other.workingDirectory.clear();
    other.cacheKey.productName.clear();
    other.cacheKey.productVersion.clear();
    other.cacheKey.companyName.clear();
    other.cacheKey.runtimeVersion.clear();
}

RvmOptions& RvmOptions::operator=(const RvmOptions& other) = default;

RvmOptions& RvmOptions::operator=(RvmOptions&& other) noexcept
{
    if (this != &other) {
        noUi = other.noUi;
        disableAutoUpdates = other.disableAutoUpdates;
        doNotLaunch = other.doNotLaunch;
        installDirectory = std::move(other.installDirectory);
        workingDirectory = std::move(other.workingDirectory);
        cacheKey = std::move(other.cacheKey);
        other.installDirectory.clear();
        other.workingDirectory.clear();
        other.cacheKey.productName.clear();
        other.cacheKey.productVersion.clear();
        other.cacheKey.companyName.clear();
        other.cacheKey.runtimeVersion.clear();
    }
    return *this;
}

RvmOptions::~RvmOptions() = default;

} // namespace HalvoraAdapterApi
