#include <HalvoraAdapterApi/DesktopSystem.h>
#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "detail/FuturesManager.h"
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

const char* const queueStoppedMessage = "the runtime's task queue has stopped; the manifest launch was not run";

// The queued callable. It owns the encoded request and the promise behind the
// future handed to the caller. Should the queue destroy it without running it
// (a stopped queue, or one destroyed with the launch still pending), it fails
// that promise with HalvoraApiException rather than leaving the caller the
// queue's std::future_error(broken_promise): the library's failures all arrive
// as HalvoraApiException.
class LaunchTask {
public:
    using Result = TaskQueue::Result;

    LaunchTask(EncodedRequest request, std::promise<Result> promise)
        : request(std::move(request)), promise(std::move(promise))
    {
    }
    LaunchTask(LaunchTask&& other) noexcept
        : request(std::move(other.request)), promise(std::move(other.promise)), pending(other.pending)
    {
        other.pending = false;
    }
    LaunchTask(const LaunchTask&) = delete;
    LaunchTask& operator=(const LaunchTask&) = delete;
    LaunchTask& operator=(LaunchTask&&) = delete;

    ~LaunchTask()
    {
        if (pending) {
            try {
                promise.set_exception(std::make_exception_ptr(HalvoraApiException(queueStoppedMessage)));
            } catch (...) {
                // Out of memory while failing an abandoned launch: the promise
                // then breaks on its own, which still wakes the caller.
            }
        }
    }

    Result operator()()
    {
        pending = false;
        try {
            std::shared_ptr<std::string> value;
            invokeNative(d_halvora_desktop_launch_manifest, request, value);
            promise.set_value(value);
            return value;
        } catch (...) {
            promise.set_exception(std::current_exception());
            throw;
        }
    }

private:
    EncodedRequest request;
    std::promise<Result> promise;
    bool pending = true;
};

} // namespace
} // namespace detail

DesktopSystem::DesktopSystem(unsigned long long runtimeHandle, detail::FuturesManager& futuresManager,
                             detail::TaskQueue& taskQueue)
    : runtimeHandle(runtimeHandle), futuresManager(futuresManager), taskQueue(taskQueue)
{
}

std::shared_future<std::shared_ptr<std::string>>
DesktopSystem::launchManifest(const std::string& manifestUrl, const std::shared_ptr<RvmOptions>& rvmOptions) const
{
    // On the caller's thread: later changes to the caller's RvmOptions do not
    // reach the launch.
    detail::EncodedRequest request =
        detail::encodeRequest(detail::LaunchManifestRequest{runtimeHandle, manifestUrl, rvmOptions.get()});

    std::promise<detail::TaskQueue::Result> promise;
    std::shared_future<detail::TaskQueue::Result> future = promise.get_future().share();
    detail::TaskQueue::Task task(detail::LaunchTask(std::move(request), std::move(promise)));
    // The queue's own future mirrors ours while the task runs; it is not used.
    taskQueue.enqueue(std::move(task));
    futuresManager.addFuture(future);
    return future;
}

} // namespace HalvoraAdapterApi
