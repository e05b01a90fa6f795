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

// A moved-from std::string is only "valid but unspecified"; the class promises
// empty strings, so each is exchanged for an empty one.
RvmOptions::RvmOptions(RvmOptions&& other) noexcept
    : noUi(other.noUi), disableAutoUpdates(other.disableAutoUpdates), doNotLaunch(other.doNotLaunch),
      installDirectory(std::exchange(other.installDirectory, {})),
      workingDirectory(std::exchange(other.workingDirectory, {})), cacheKey(std::exchange(other.cacheKey, {}))
{}

RvmOptions& RvmOptions::operator=(const RvmOptions& other) = default;

RvmOptions& RvmOptions::operator=(RvmOptions&& other) noexcept
{
    if (this != &other) {
        noUi = other.noUi;
        disableAutoUpdates = other.disableAutoUpdates;
        doNotLaunch = other.doNotLaunch;
        installDirectory = std::exchange(other.installDirectory, {});
        workingDirectory = std::exchange(other.workingDirectory, {});
        cacheKey = std::exchange(other.cacheKey, {});
    }
    return *this;
}

RvmOptions::~RvmOptions() = default;

} // namespace HalvoraAdapterApi
