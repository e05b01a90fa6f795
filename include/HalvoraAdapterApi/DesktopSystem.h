#pragma once

#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/RvmOptions.h>
#include <HalvoraAdapterApi/detail/Forward.h>

#include <future>
#include <memory>
#include <string>

namespace HalvoraAdapterApi {

class Runtime;

// Launches applications from manifest URLs through the runtime.
class HALVORA_ADAPTER_API DesktopSystem {
public:
    // The future yields the runtime's reply text, an empty pointer for a reply
    // without value, or the runtime's failure as HalvoraApiException. A launch
    // that never runs, because the runtime's task queue has stopped (after a
    // disconnect) or is destroyed first, fails at once with a
    // HalvoraApiException as well, instead of leaving the caller waiting.
    // `rvmOptions` may be empty; it is read before this call returns.
    std::shared_future<std::shared_ptr<std::string>> launchManifest(const std::string& manifestUrl,
                                                                    const std::shared_ptr<RvmOptions>& rvmOptions) const;

private:
    DesktopSystem(unsigned long long runtimeHandle, detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue);

    unsigned long long runtimeHandle;
    detail::FuturesManager& futuresManager;
    detail::TaskQueue& taskQueue;

    friend class Runtime;
    friend struct detail::DesktopSystemAccess;
};

} // namespace HalvoraAdapterApi
