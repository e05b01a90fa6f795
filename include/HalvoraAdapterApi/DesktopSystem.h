#pragma once

#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/RvmOptions.h>
#include <HalvoraAdapterApi/detail/Forward.h>

#include <future>
#include <memory>
#include <string>

namespace HalvoraAdapterApi {

class Runtime;

/// @brief Launches applications from manifest URLs through the runtime.
///
/// Obtained from Runtime::getDesktopSystem; bound to the connection it was
/// obtained on. Safe to use from any thread.
class HALVORA_ADAPTER_API DesktopSystem {
public:
    /// @brief Asks the runtime to launch the application that @p manifestUrl
    /// describes, through the runtime's task queue. @p rvmOptions may be
    /// empty; it is read before this call returns.
    /// @return The runtime's reply text, an empty pointer for a reply without
    ///         value, or the runtime's failure as HalvoraApiException. A launch
    ///         that never runs, because the runtime disconnected first, fails
    ///         with HalvoraApiException too, instead of leaving the caller waiting.
    std::shared_future<std::shared_ptr<std::string>>
    launchManifest(const std::string& manifestUrl, const std::shared_ptr<RvmOptions>& rvmOptions) const;

private:
    /// @cond INTERNAL
    DesktopSystem(unsigned long long runtimeHandle, detail::FuturesManager& futuresManager,
                  detail::TaskQueue& taskQueue);

    unsigned long long runtimeHandle;
    detail::FuturesManager& futuresManager;
    detail::TaskQueue& taskQueue;

    friend class Runtime;
    /// @endcond
};

} // namespace HalvoraAdapterApi
