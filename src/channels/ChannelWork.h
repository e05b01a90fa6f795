// How channel operations run: connect, disconnect and open on a thread of
// their own, dispatches and broadcasts on the runtime's task queue. Every
// future handed out is also tracked by the runtime's futures manager.
#pragma once

#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"

#include <functional>
#include <future>
#include <memory>
#include <string>

namespace HalvoraAdapterApi {
namespace detail {

using ChannelReply = std::shared_ptr<std::string>;

std::shared_future<void> startChannelWork(FuturesManager& futuresManager, std::function<void()> work);

// A task that the queue abandons (it has been stopped, or is destroyed before
// running it) fails its future with HalvoraApiException("The runtime is not
// connected") instead of a bare broken promise.
std::shared_future<ChannelReply> queueChannelWork(TaskQueue& taskQueue, FuturesManager& futuresManager,
                                                  std::function<ChannelReply()> work);

} // namespace detail
} // namespace HalvoraAdapterApi
