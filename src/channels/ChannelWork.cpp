#include "channels/ChannelWork.h"

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include <exception>
#include <utility>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

// The promise behind a queued channel operation. It is settled by the task
// when it runs, or by its own destruction when the task never runs.
class QueuedReply {
public:
    QueuedReply() = default;
    QueuedReply(const QueuedReply&) = delete;
    QueuedReply& operator=(const QueuedReply&) = delete;
    ~QueuedReply()
    {
        if (!settled) {
            promise.set_exception(std::make_exception_ptr(HalvoraApiException("The runtime is not connected")));
        }
    }

    std::shared_future<ChannelReply> future() { return promise.get_future().share(); }

    void run(const std::function<ChannelReply()>& work)
    {
        settled = true;
        try {
            promise.set_value(work());
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    }

private:
    std::promise<ChannelReply> promise;
    bool settled = false;
};

} // namespace

std::shared_future<void> startChannelWork(FuturesManager& futuresManager, std::function<void()> work)
{
    std::shared_future<void> future = std::async(std::launch::async, std::move(work)).share();
    futuresManager.addFuture(future);
    return future;
}

std::shared_future<ChannelReply> queueChannelWork(TaskQueue& taskQueue, FuturesManager& futuresManager,
                                                  std::function<ChannelReply()> work)
{
    auto reply = std::make_unique<QueuedReply>();
    std::shared_future<ChannelReply> future = reply->future();
    TaskQueue::Task task([reply = std::move(reply), work = std::move(work)]() -> ChannelReply {
        reply->run(work);
        return nullptr;
    });
    taskQueue.enqueue(std::move(task));
    futuresManager.addFuture(future);
    return future;
}

} // namespace detail
} // namespace HalvoraAdapterApi
