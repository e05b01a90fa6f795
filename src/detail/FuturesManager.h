#pragma once

#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace HalvoraAdapterApi {
namespace detail {

// Keeps a copy of every future a runtime's channel and launch operations hand
// out: finished ones are forgotten as new ones arrive, and destruction waits
// for the rest, so no operation outlives the runtime's state.
class FuturesManager {
public:
    FuturesManager() = default;
    FuturesManager(const FuturesManager&) = delete;
    FuturesManager& operator=(const FuturesManager&) = delete;
    ~FuturesManager();

    void addFuture(std::shared_future<void> future);
    void addFuture(std::shared_future<std::shared_ptr<std::string>> future);

private:
    // Guards both lists.
    std::mutex mutex;
    std::vector<std::shared_future<void>> voidFutures;
    std::vector<std::shared_future<std::shared_ptr<std::string>>> resultFutures;
};

} // namespace detail
} // namespace HalvoraAdapterApi
