#include "detail/QueuedWork.h"

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include <exception>
#include <memory>
#include <utility>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

// The promise behind a queued operation, settled by the task when it runs or
// by its own destruction when the task never runs.
class QueuedReply {
public:
    // A literal, so that queueing allocates no message that is rarely needed.
    explicit QueuedReply(const char* abandonedMessage) : abandonedMessage(abandonedMessage) {}
    QueuedReply(const QueuedReply&) = delete;
    QueuedReply& operator=(const QueuedReply&) = delete;
    ~QueuedReply()
    {
        if (!settled) {
            try {
                promise.set_exception(std::make_exception_ptr(HalvoraApiException(abandonedMessage)));
            } catch (...) {
                // Out of memory: the promise then breaks, which still wakes the caller.
            }
        }
    }

    std::shared_future<TaskQueue::Result> future() { return promise.get_future().share(); }

    void run(const std::function<TaskQueue::Result()>& work)
    {
        settled = true;
        try {
            promise.set_value(work());
        } catch (...) {
            promise.set_exception(std::current_exception());
        }
    }

private:
    std::promise<TaskQueue::Result> promise;
    const char* abandonedMessage;
    bool settled = false;
};

} // namespace

std::shared_future<TaskQueue::Result> queueWork(TaskQueue& taskQueue, FuturesManager& futuresManager,
                                                std::function<TaskQueue::Result()> work, const char* abandonedMessage)
{
    auto reply = std::make_unique<QueuedReply>(abandonedMessage);
    std::shared_future<TaskQueue::Result> future = reply->future();
    TaskQueue::Task task([reply = std::move(reply), work = std::move(work)]() -> TaskQueue::Result {
        reply->run(work);
        return nullptr;
    });
    // The queue's own future only mirrors the task's end; callers get ours.
    taskQueue.enqueue(std::move(task));
    futuresManager.addFuture(future);
    return future;
}

} // namespace detail
} // namespace HalvoraAdapterApi
