// Work for a runtime's task queue whose future always settles: with the
// work's result or exception when it runs, and with HalvoraApiException when
// the queue abandons it (stopped, or destroyed first) instead of a bare
// broken promise. The future is also tracked by the futures manager.
#pragma once

#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"

#include <functional>
#include <future>

namespace HalvoraAdapterApi {
namespace detail {

std::shared_future<TaskQueue::Result> queueWork(TaskQueue& taskQueue, FuturesManager& futuresManager,
                                                std::function<TaskQueue::Result()> work, const char* abandonedMessage);

} // namespace detail
} // namespace HalvoraAdapterApi
