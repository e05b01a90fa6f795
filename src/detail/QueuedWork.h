// Work for a runtime's task queue whose future always settles: with the
// work's result or exception when it runs, and with HalvoraApiException when
// the queue abandons it (stopped, or destroyed first) instead of a bare
// broken promise. The future is also tracked by the futures manager.
#pragma once

#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>

namespace HalvoraAdapterApi {
namespace detail {

// Marks the calling thread, for as long as it lives, as running a handler
// inside an event callback. Work queued meanwhile gets a deadline: if it is
// still unanswered when the deadline passes and this invocation is still
// running, the handler is most likely waiting for a reply that its own event
// thread would have to deliver, and the work's future fails with a
// HalvoraApiException that says so instead of leaving it blocked for ever.
class HandlerInvocation {
public:
    HandlerInvocation();
    ~HandlerInvocation();
    HandlerInvocation(const HandlerInvocation&) = delete;
    HandlerInvocation& operator=(const HandlerInvocation&) = delete;

    static const HandlerInvocation* current();
    // Made when first asked for: most handlers queue nothing, and an event
    // should not pay for an allocation it does not use.
    const std::shared_ptr<std::atomic<bool>>& runningFlag() const;

private:
    mutable std::shared_ptr<std::atomic<bool>> running;
    HandlerInvocation* outer;
};

// The deadline of work queued inside a handler: 5 seconds. Tests shorten it.
std::chrono::milliseconds selfWaitLimit();
void setSelfWaitLimit(std::chrono::milliseconds limit);

std::shared_future<TaskQueue::Result> queueWork(TaskQueue& taskQueue, FuturesManager& futuresManager,
                                                std::function<TaskQueue::Result()> work, const char* abandonedMessage);

} // namespace detail
} // namespace HalvoraAdapterApi
