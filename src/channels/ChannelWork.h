// How channel operations run: connect, disconnect and open on a thread of
// their own, dispatches and broadcasts on the runtime's task queue. Every
// future handed out is also tracked by the runtime's futures manager.
#pragma once

#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"
#include "native/MsgPack.h"

#include <exception>
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

// A dispatch's request as far as it is written when queued. Shared, as queued
// work must be copyable; the work runs once and hands the request on. A
// request that cannot be written (a payload beyond 4 GiB) fails the future,
// as any failure of the operation does.
struct QueuedDispatch {
    std::shared_ptr<SplitRequest> request;
    std::exception_ptr failure;
};

template <typename Write>
QueuedDispatch queuedDispatch(Write write)
{
    QueuedDispatch queued;
    try {
        queued.request = std::make_shared<SplitRequest>(write());
    } catch (...) {
        queued.failure = std::current_exception();
    }
    return queued;
}

} // namespace detail
} // namespace HalvoraAdapterApi
