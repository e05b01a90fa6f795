#include "detail/QueuedWork.h"

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "detail/Reaper.h"

#include <exception>
#include <memory>
#include <utility>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

thread_local HandlerInvocation* currentInvocation = nullptr;
std::atomic<long long> selfWaitMilliseconds{5000};

constexpr const char* selfWaitMessage = "The call is still unanswered while the handler that made it runs: a handler "
                                        "cannot wait for a reply that its own runtime has to deliver";

// The promise behind a queued operation, settled exactly once: by the task
// when it runs, by a handler's deadline, or by its own destruction when the
// task never runs.
class QueuedReply {
public:
    // A literal, so that queueing allocates no message that is rarely needed.
    explicit QueuedReply(const char* abandonedMessage) : abandonedMessage(abandonedMessage) {}
    QueuedReply(const QueuedReply&) = delete;
    QueuedReply& operator=(const QueuedReply&) = delete;
    ~QueuedReply()
    {
        fail(abandonedMessage);
        dropDeadline();
    }

    // A deadline armed for this reply, dropped with the reply (the queue drops
    // a task as soon as it has run) so that the reaper does not stay up for it.
    void watchedBy(std::uint64_t timer) { deadline = timer; }

    std::shared_future<TaskQueue::Result> future() { return promise.get_future().share(); }

    void run(const std::function<TaskQueue::Result()>& work)
    {
        // Failed by its deadline while queued: the caller has been told it did not happen.
        if (settled.load()) {
            return;
        }
        try {
            TaskQueue::Result value = work();
            if (!settled.exchange(true)) {
                promise.set_value(std::move(value));
            }
        } catch (...) {
            if (!settled.exchange(true)) {
                promise.set_exception(std::current_exception());
            }
        }
    }

    void fail(const char* message) noexcept
    {
        if (settled.exchange(true)) {
            return;
        }
        try {
            promise.set_exception(std::make_exception_ptr(HalvoraApiException(message)));
        } catch (...) {
            // Out of memory: the promise then breaks, which still wakes the caller.
        }
    }

private:
    void dropDeadline() noexcept
    {
        if (deadline != 0) {
            Reaper::instance().cancel(std::exchange(deadline, 0));
        }
    }

    std::promise<TaskQueue::Result> promise;
    const char* abandonedMessage;
    std::atomic<bool> settled{false};
    // Set before the task is queued, read only by whoever runs or destroys it.
    std::uint64_t deadline = 0;
};

} // namespace

HandlerInvocation::HandlerInvocation() : outer(currentInvocation)
{
    currentInvocation = this;
}

HandlerInvocation::~HandlerInvocation()
{
    if (running) {
        running->store(false);
    }
    currentInvocation = outer;
}

// Only the invocation's own thread asks (through current()), so no lock.
const std::shared_ptr<std::atomic<bool>>& HandlerInvocation::runningFlag() const
{
    if (!running) {
        running = std::make_shared<std::atomic<bool>>(true);
    }
    return running;
}

const HandlerInvocation* HandlerInvocation::current()
{
    return currentInvocation;
}

std::chrono::milliseconds selfWaitLimit()
{
    return std::chrono::milliseconds(selfWaitMilliseconds.load());
}

void setSelfWaitLimit(std::chrono::milliseconds limit)
{
    selfWaitMilliseconds.store(limit.count());
}

std::shared_future<TaskQueue::Result> queueWork(TaskQueue& taskQueue, FuturesManager& futuresManager,
                                                std::function<TaskQueue::Result()> work, const char* abandonedMessage)
{
    auto reply = std::make_shared<QueuedReply>(abandonedMessage);
    std::shared_future<TaskQueue::Result> future = reply->future();
    if (const HandlerInvocation* invocation = HandlerInvocation::current()) {
        reply->watchedBy(
            Reaper::instance().at(Reaper::Clock::now() + selfWaitLimit(),
                                  [watched = std::weak_ptr<QueuedReply>(reply), running = invocation->runningFlag()] {
                                      if (!running->load()) {
                                          return;
                                      }
                                      if (const auto waiting = watched.lock()) {
                                          waiting->fail(selfWaitMessage);
                                      }
                                  }));
    }
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
