// The futures manager: destruction waits for every unfinished future of both
// kinds, and finished ones are forgotten within a bounded number of additions.
#include "detail/FuturesManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

using HalvoraAdapterApi::detail::FuturesManager;
using namespace std::chrono_literals;

namespace {

using ResultFuture = std::shared_future<std::shared_ptr<std::string>>;

ResultFuture readyResult()
{
    std::promise<std::shared_ptr<std::string>> promise;
    promise.set_value(nullptr);
    return promise.get_future().share();
}

std::shared_future<void> readyVoid()
{
    std::promise<void> promise;
    promise.set_value();
    return promise.get_future().share();
}

// Destroys the manager on another thread, so that a test can see it waiting.
std::future<void> destroy(std::unique_ptr<FuturesManager> manager)
{
    return std::async(std::launch::async, [m = std::move(manager)]() mutable { m.reset(); });
}

TEST(TheFuturesManager, WaitsOnDestructionForEveryUnfinishedFutureThroughEveryPrune)
{
    auto manager = std::make_unique<FuturesManager>();
    std::promise<void> unfinishedVoid;
    std::vector<std::promise<std::shared_ptr<std::string>>> results(3000);
    manager->addFuture(unfinishedVoid.get_future().share());
    for (auto& promise : results) { // many prunes happen during the burst
        manager->addFuture(promise.get_future().share());
        manager->addFuture(readyResult());
        manager->addFuture(readyVoid());
    }
    manager->addFuture(std::shared_future<void>()); // invalid ones are skipped
    manager->addFuture(ResultFuture());
    std::atomic<bool> deferredRan{false};
    manager->addFuture(std::async(std::launch::deferred, [&] { deferredRan = true; }).share());
    std::promise<void> failing;
    manager->addFuture(failing.get_future().share());
    failing.set_exception(std::make_exception_ptr(std::runtime_error("failed"))); // not rethrown
    for (std::size_t i = 1; i < results.size(); ++i) {
        results[i].set_value(nullptr);
    }
    auto destroyed = destroy(std::move(manager));
    EXPECT_EQ(destroyed.wait_for(30ms), std::future_status::timeout);
    results.front().set_value(nullptr); // the first went through every prune
    EXPECT_EQ(destroyed.wait_for(30ms), std::future_status::timeout);
    unfinishedVoid.set_value();
    EXPECT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(deferredRan); // a deferred future counts as unfinished and is run
}

// A finished future holds its value; the token's count shows whether the
// manager still holds the future.
TEST(TheFuturesManager, ForgetsFinishedFuturesOfEachKindWithinBoundedAdditionsOfThatKind)
{
    FuturesManager manager;
    auto voidToken = std::make_shared<int>(0);
    auto resultToken = std::make_shared<int>(0);
    {
        std::promise<void> voidPromise;
        manager.addFuture(voidPromise.get_future().share());
        voidPromise.set_exception(std::make_exception_ptr(voidToken));
        std::promise<std::shared_ptr<std::string>> resultPromise;
        resultPromise.set_value(std::shared_ptr<std::string>(resultToken, nullptr));
        manager.addFuture(resultPromise.get_future().share());
    }
    for (int i = 0; i < 1000; ++i) { // the other kind's additions forget nothing
        manager.addFuture(readyResult());
    }
    EXPECT_EQ(voidToken.use_count(), 2);
    EXPECT_EQ(resultToken.use_count(), 1);
    int added = 0;
    for (; voidToken.use_count() > 1 && added < 100; ++added) {
        manager.addFuture(readyVoid());
    }
    EXPECT_EQ(voidToken.use_count(), 1);
    EXPECT_GT(added, 1); // amortised: not pruned at every addition
}

} // namespace
