#include <HalvoraAdapterApi/DesktopSystem.h>
#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "detail/FuturesManager.h"
#include "detail/QueuedWork.h"
#include "detail/TaskQueue.h"
#include "native/Bridge.h"
#include "options/OptionsMsgPack.h"

#include <exception>
#include <utility>

namespace HalvoraAdapterApi {

namespace detail {
namespace {

// The launch request: {"handle", "manifest_url", "rvm_options"}, keys in
// ascending byte order; "rvm_options" is nil when no options are given.
struct LaunchManifestRequest {
    std::uint64_t handle;
    const std::string& manifestUrl;
    const RvmOptions* rvmOptions;
};

void packRecord(Packer& packer, const LaunchManifestRequest& request)
{
    packMapHeader(packer, 3);
    packString(packer, "handle");
    packUInt64(packer, request.handle);
    packString(packer, "manifest_url");
    packString(packer, request.manifestUrl);
    packString(packer, "rvm_options");
    if (request.rvmOptions != nullptr) {
        packRvmOptions(packer, *request.rvmOptions);
    } else {
        packNil(packer);
    }
}

} // namespace
} // namespace detail

DesktopSystem::DesktopSystem(unsigned long long runtimeHandle, detail::FuturesManager& futuresManager,
                             detail::TaskQueue& taskQueue)
    : runtimeHandle(runtimeHandle), futuresManager(futuresManager), taskQueue(taskQueue)
{}

std::shared_future<std::shared_ptr<std::string>>
DesktopSystem::launchManifest(const std::string& manifestUrl, const std::shared_ptr<RvmOptions>& rvmOptions) const
{
    // On the caller's thread: later changes to the caller's RvmOptions do not
    // reach the launch.
    detail::EncodedRequest request =
        detail::encodeRequest(detail::LaunchManifestRequest{runtimeHandle, manifestUrl, rvmOptions.get()});

    return detail::queueWork(
        taskQueue, futuresManager,
        [request = std::make_shared<detail::EncodedRequest>(std::move(request))]() {
            std::shared_ptr<std::string> value;
            detail::invokeNative(d_halvora_desktop_launch_manifest, *request, value);
            return value;
        },
        "The runtime's task queue has stopped; the manifest launch was not run");
}

} // namespace HalvoraAdapterApi
