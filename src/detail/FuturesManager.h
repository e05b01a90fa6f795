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
// A list is scanned only after as many additions as it kept at its last scan,
// so a burst of additions costs amortised O(1) each; a finished future is
// forgotten within a bounded number of later additions of its own kind. The
// future added just before is checked on every addition, so a caller that
// waits for each result before its next call lets the result go at once.
class FuturesManager {
public:
    FuturesManager() = default;
    FuturesManager(const FuturesManager&) = delete;
    FuturesManager& operator=(const FuturesManager&) = delete;
    ~FuturesManager();

    void addFuture(std::shared_future<void> future);
    void addFuture(std::shared_future<std::shared_ptr<std::string>> future);

    // One kind's list, and how many additions it has had since its last scan.
    template <typename Future>
    struct Tracked {
        std::vector<Future> futures;
        std::size_t addedSincePrune = 0;
        std::size_t pruneAfter = 0;
    };

private:
    // Guards both lists.
    std::mutex mutex;
    Tracked<std::shared_future<void>> voidFutures;
    Tracked<std::shared_future<std::shared_ptr<std::string>>> resultFutures;
};

} // namespace detail
} // namespace HalvoraAdapterApi
