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
//
// A list is pruned only once it has doubled since its last prune, so a burst
// of additions costs amortised O(1) each; a finished future is forgotten
// within a bounded number of later additions of its own kind.
class FuturesManager {
public:
    FuturesManager() = default;
    FuturesManager(const FuturesManager&) = delete;
    FuturesManager& operator=(const FuturesManager&) = delete;
    ~FuturesManager();

    void addFuture(std::shared_future<void> future);
    void addFuture(std::shared_future<std::shared_ptr<std::string>> future);

    // One kind's list with the size at which the next addition prunes it.
    template <typename Future>
    struct Tracked {
        std::vector<Future> futures;
        std::size_t pruneAt = 0;
    };

private:
    // Guards both lists.
    std::mutex mutex;
    Tracked<std::shared_future<void>> voidFutures;
    Tracked<std::shared_future<std::shared_ptr<std::string>>> resultFutures;
};

} // namespace detail
} // namespace HalvoraAdapterApi
