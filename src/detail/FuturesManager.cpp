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

// Pruning when the list has doubled since the last prune leaves at least as
// many additions as there are survivors before the next one, which pays for
// its scan.
template <typename Future>
void appendAndPrune(FuturesManager::Tracked<Future>& tracked, Future future)
{
    std::vector<Future>& futures = tracked.futures;
    futures.push_back(std::move(future));
    if (futures.size() < tracked.pruneAt) {
        return;
    }
    futures.erase(std::remove_if(futures.begin(), futures.end(), isFinished<Future>), futures.end());
    tracked.pruneAt = std::max(minimumPruneSize, 2 * futures.size());
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
