#include "detail/FuturesManager.h"

#include <algorithm>
#include <chrono>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

template <typename Future>
bool isFinished(const Future& future)
{
    return !future.valid() || future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

// Small lists are left alone: a prune of a few entries costs more than it saves.
constexpr std::size_t minimumPruneSize = 32;

// Scanning after as many additions as the last scan kept pays for the scan.
template <typename Future>
void appendAndPrune(FuturesManager::Tracked<Future>& tracked, Future future)
{
    std::vector<Future>& futures = tracked.futures;
    futures.push_back(std::move(future));
    // One call at a time: the one before has finished, and its result goes
    // while it is still warm instead of with a whole batch at the next scan.
    const std::size_t count = futures.size();
    if (count >= 2 && isFinished(futures[count - 2])) {
        futures[count - 2] = std::move(futures.back());
        futures.pop_back();
    }
    if (++tracked.addedSincePrune < tracked.pruneAfter) {
        return;
    }
    futures.erase(std::remove_if(futures.begin(), futures.end(), isFinished<Future>), futures.end());
    tracked.addedSincePrune = 0;
    tracked.pruneAfter = std::max(minimumPruneSize, futures.size());
}

template <typename Future>
void waitForAll(const FuturesManager::Tracked<Future>& tracked)
{
    for (const Future& future : tracked.futures) {
        if (future.valid()) {
            future.wait();
        }
    }
}

} // namespace

FuturesManager::~FuturesManager()
{
    waitForAll(voidFutures);
    waitForAll(resultFutures);
}

void FuturesManager::addFuture(std::shared_future<void> future)
{
    std::lock_guard<std::mutex> lock(mutex);
    appendAndPrune(voidFutures, std::move(future));
}

void FuturesManager::addFuture(std::shared_future<std::shared_ptr<std::string>> future)
{
    std::lock_guard<std::mutex> lock(mutex);
    appendAndPrune(resultFutures, std::move(future));
}

} // namespace detail
} // namespace HalvoraAdapterApi
