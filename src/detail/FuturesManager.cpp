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

template <typename Future>
void appendAndPrune(std::vector<Future>& futures, Future future)
{
    futures.push_back(std::move(future));
    futures.erase(std::remove_if(futures.begin(), futures.end(), isFinished<Future>), futures.end());
}

template <typename Future>
void waitForAll(const std::vector<Future>& futures)
{
    for (const Future& future : futures) {
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
