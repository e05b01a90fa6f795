// detail::FuturesManager: destruction waits for every tracked future that has
// not finished, and finished futures are forgotten as new ones are added.
#include "detail/FuturesManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

using HalvoraAdapterApi::detail::FuturesManager;

namespace {

using ResultFuture = std::shared_future<std::shared_ptr<std::string>>;

// An exception object that keeps a token alive as long as some shared state
// stores it, so a test can see whether the manager still holds a future.
struct Tracked : std::exception {
    explicit Tracked(std::shared_ptr<int> token) : token(std::move(token)) {}
    std::shared_ptr<int> token;
};

std::exception_ptr trackedException(const std::shared_ptr<int>& token)
{
    return std::make_exception_ptr(Tracked(token));
}

// Destroys the manager on another thread and reports whether that finished
// within the timeout.
class Destroyer {
public:
    explicit Destroyer(std::unique_ptr<FuturesManager> manager)
        : thread([this, m = std::move(manager)]() mutable {
              m.reset();
              done = true;
          })
    {}
    ~Destroyer()
    {
        if (thread.joinable()) {
            thread.join();
        }
    }
    bool finishedWithin(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done;
    }
    void join() { thread.join(); }

private:
    std::atomic<bool> done{false};
    std::thread thread;
};

TEST(FuturesManagerTest, DestructionWaitsForAnUnfinishedVoidFuture)
{
    auto manager = std::make_unique<FuturesManager>();
    std::promise<void> promise;
    manager->addFuture(promise.get_future().share());
    Destroyer destroyer(std::move(manager));
    EXPECT_FALSE(destroyer.finishedWithin(std::chrono::milliseconds(50)));
    promise.set_value();
    EXPECT_TRUE(destroyer.finishedWithin(std::chrono::seconds(5)));
}

TEST(FuturesManagerTest, DestructionWaitsForAnUnfinishedResultFuture)
{
    auto manager = std::make_unique<FuturesManager>();
    std::promise<std::shared_ptr<std::string>> promise;
    manager->addFuture(promise.get_future().share());
    Destroyer destroyer(std::move(manager));
    EXPECT_FALSE(destroyer.finishedWithin(std::chrono::milliseconds(50)));
    promise.set_value(std::make_shared<std::string>("reply"));
    EXPECT_TRUE(destroyer.finishedWithin(std::chrono::seconds(5)));
}

TEST(FuturesManagerTest, DestructionWaitsForEveryFutureOfBothKinds)
{
    auto manager = std::make_unique<FuturesManager>();
    std::promise<void> voidPromise;
    std::promise<std::shared_ptr<std::string>> resultPromise;
    manager->addFuture(voidPromise.get_future().share());
    manager->addFuture(resultPromise.get_future().share());
    Destroyer destroyer(std::move(manager));
    resultPromise.set_value(nullptr);
    EXPECT_FALSE(destroyer.finishedWithin(std::chrono::milliseconds(50)));
    voidPromise.set_value();
    EXPECT_TRUE(destroyer.finishedWithin(std::chrono::seconds(5)));
}

TEST(FuturesManagerTest, DestructionDoesNotRethrowAFailedOperation)
{
    auto manager = std::make_unique<FuturesManager>();
    std::promise<void> voidPromise;
    std::promise<std::shared_ptr<std::string>> resultPromise;
    manager->addFuture(voidPromise.get_future().share());
    manager->addFuture(resultPromise.get_future().share());
    Destroyer destroyer(std::move(manager));
    voidPromise.set_exception(std::make_exception_ptr(std::runtime_error("void failed")));
    resultPromise.set_exception(std::make_exception_ptr(std::runtime_error("reply failed")));
    EXPECT_TRUE(destroyer.finishedWithin(std::chrono::seconds(5)));
}

TEST(FuturesManagerTest, AsyncOperationsAreWaitedFor)
{
    std::atomic<bool> finished{false};
    {
        FuturesManager manager;
        manager.addFuture(std::async(std::launch::async, [&] {
                              std::this_thread::sleep_for(std::chrono::milliseconds(30));
                              finished = true;
                          }).share());
    }
    EXPECT_TRUE(finished.load());
}

TEST(FuturesManagerTest, DeferredFuturesCountAsUnfinishedAndAreRunByTheWait)
{
    std::atomic<bool> ran{false};
    {
        FuturesManager manager;
        manager.addFuture(std::async(std::launch::deferred, [&] { ran = true; }).share());
        manager.addFuture(std::promise<void>().get_future().share()); // broken at once: finished
        EXPECT_FALSE(ran.load());
    }
    EXPECT_TRUE(ran.load());
}

// Pruning is amortised: a finished future may stay tracked for a while, but
// only for a bounded number of additions of its own kind.
constexpr int kEnoughAdditions = 10000;

template <typename Future>
Future readyFuture()
{
    using Value = decltype(std::declval<Future>().get());
    if constexpr (std::is_void_v<Value>) {
        std::promise<void> promise;
        promise.set_value();
        return promise.get_future().share();
    } else {
        std::promise<std::shared_ptr<std::string>> promise;
        promise.set_value(nullptr);
        return promise.get_future().share();
    }
}

// Adds ready futures of the kind until the token is only ours; returns how
// many it took, or -1 if the manager never let go of it.
template <typename Future>
int additionsUntilForgotten(FuturesManager& manager, const std::shared_ptr<int>& token)
{
    for (int added = 0; added < kEnoughAdditions; ++added) {
        if (token.use_count() == 1) {
            return added;
        }
        manager.addFuture(readyFuture<Future>());
    }
    return -1;
}

TEST(FuturesManagerTest, FinishedFuturesOfEitherKindAreForgottenWithinABoundedNumberOfAdditions)
{
    FuturesManager manager;
    auto voidToken = std::make_shared<int>(0);
    auto resultToken = std::make_shared<int>(0);
    {
        // Finished before it is added.
        std::promise<void> voidPromise;
        voidPromise.set_exception(trackedException(voidToken));
        manager.addFuture(voidPromise.get_future().share());
        // Finished after it is added, behind many unfinished ones.
        std::promise<std::shared_ptr<std::string>> resultPromise;
        manager.addFuture(resultPromise.get_future().share());
        resultPromise.set_value(std::shared_ptr<std::string>(resultToken, nullptr));
    }
    EXPECT_GE(additionsUntilForgotten<std::shared_future<void>>(manager, voidToken), 0);
    EXPECT_GE(additionsUntilForgotten<ResultFuture>(manager, resultToken), 0);
}

TEST(FuturesManagerTest, AdditionsOfOneKindNeverForgetAFinishedFutureOfTheOtherKind)
{
    FuturesManager manager;
    auto voidToken = std::make_shared<int>(0);
    auto resultToken = std::make_shared<int>(0);
    std::promise<void> voidPromise;
    std::promise<std::shared_ptr<std::string>> resultPromise;
    manager.addFuture(voidPromise.get_future().share());
    manager.addFuture(resultPromise.get_future().share());
    voidPromise.set_exception(trackedException(voidToken));
    resultPromise.set_value(std::shared_ptr<std::string>(resultToken, nullptr));
    voidPromise = std::promise<void>();
    resultPromise = std::promise<std::shared_ptr<std::string>>();

    for (int added = 0; added < kEnoughAdditions; ++added) {
        manager.addFuture(readyFuture<ResultFuture>());
    }
    EXPECT_EQ(voidToken.use_count(), 2); // held by the tracked future only
    EXPECT_EQ(resultToken.use_count(), 1);
    for (int added = 0; added < kEnoughAdditions; ++added) {
        manager.addFuture(readyFuture<std::shared_future<void>>());
    }
    EXPECT_EQ(voidToken.use_count(), 1);
}

TEST(FuturesManagerTest, ABurstOfUnfinishedFuturesSurvivesEveryPruneAndIsWaitedFor)
{
    auto manager = std::make_unique<FuturesManager>();
    // Many prunes happen during the burst: finished futures in between.
    std::vector<std::promise<std::shared_ptr<std::string>>> promises(5000);
    for (auto& promise : promises) {
        manager->addFuture(promise.get_future().share());
        manager->addFuture(readyFuture<ResultFuture>());
    }
    // The first one has been through every prune.
    for (std::size_t i = 1; i < promises.size(); ++i) {
        promises[i].set_value(nullptr);
    }
    Destroyer destroyer(std::move(manager));
    EXPECT_FALSE(destroyer.finishedWithin(std::chrono::milliseconds(50)));
    promises.front().set_value(nullptr);
    EXPECT_TRUE(destroyer.finishedWithin(std::chrono::seconds(5)));
}

TEST(FuturesManagerTest, PruningKeepsTheUnfinishedOnes)
{
    auto manager = std::make_unique<FuturesManager>();
    std::vector<std::promise<std::shared_ptr<std::string>>> promises(5);
    for (auto& promise : promises) {
        manager->addFuture(promise.get_future().share());
    }
    promises[1].set_value(nullptr);
    promises[3].set_value(nullptr);
    manager->addFuture(ResultFuture());
    Destroyer destroyer(std::move(manager));
    for (std::size_t i : {0u, 2u, 4u}) {
        EXPECT_FALSE(destroyer.finishedWithin(std::chrono::milliseconds(20))) << i;
        promises[i].set_value(nullptr);
    }
    EXPECT_TRUE(destroyer.finishedWithin(std::chrono::seconds(5)));
}

TEST(FuturesManagerTest, InvalidFuturesAreSkipped)
{
    FuturesManager manager;
    manager.addFuture(std::shared_future<void>());
    manager.addFuture(ResultFuture());
}

TEST(FuturesManagerTest, ConcurrentAdditionsFromManyThreads)
{
    constexpr int threadCount = 8;
    constexpr int perThread = 200;
    std::vector<std::promise<void>> voidPromises(threadCount * perThread);
    std::vector<std::promise<std::shared_ptr<std::string>>> resultPromises(threadCount * perThread);
    auto manager = std::make_unique<FuturesManager>();
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t * perThread; i < (t + 1) * perThread; ++i) {
                manager->addFuture(voidPromises[i].get_future().share());
                manager->addFuture(resultPromises[i].get_future().share());
                if (i % 2 == 0) {
                    voidPromises[i].set_value();
                    resultPromises[i].set_value(nullptr);
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    Destroyer destroyer(std::move(manager));
    EXPECT_FALSE(destroyer.finishedWithin(std::chrono::milliseconds(20)));
    for (std::size_t i = 1; i < voidPromises.size(); i += 2) {
        voidPromises[i].set_value();
        resultPromises[i].set_value(nullptr);
    }
    EXPECT_TRUE(destroyer.finishedWithin(std::chrono::seconds(5)));
}

} // namespace
