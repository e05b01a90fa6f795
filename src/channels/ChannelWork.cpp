#include "channels/ChannelWork.h"

#include "detail/QueuedWork.h"

#include <utility>

namespace HalvoraAdapterApi {
namespace detail {

std::shared_future<void> startChannelWork(FuturesManager& futuresManager, std::function<void()> work)
{
    std::shared_future<void> future = std::async(std::launch::async, std::move(work)).share();
    futuresManager.addFuture(future);
    return future;
}

std::shared_future<ChannelReply> queueChannelWork(TaskQueue& taskQueue, FuturesManager& futuresManager,
                                                  std::function<ChannelReply()> work)
{
    return queueWork(taskQueue, futuresManager, std::move(work), "The runtime is not connected");
}

} // namespace detail
} // namespace HalvoraAdapterApi
