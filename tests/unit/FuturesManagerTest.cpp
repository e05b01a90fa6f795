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
    {
    }
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

TEST(FuturesManagerTest, AFutureFinishedWhenAddedIsForgottenByThatCall)
{
    FuturesManager manager;
    auto voidToken = std::make_shared<int>(0);
    auto resultToken = std::make_shared<int>(0);
    {
        std::promise<void> voidPromise;
        voidPromise.set_exception(trackedException(voidToken));
        manager.addFuture(voidPromise.get_future().share());
        std::promise<std::shared_ptr<std::string>> resultPromise;
        resultPromise.set_value(std::shared_ptr<std::string>(resultToken, nullptr));
        manager.addFuture(resultPromise.get_future().share());
    }
    // Only our own reference is left: the manager kept no copy.
    EXPECT_EQ(voidToken.use_count(), 1);
    EXPECT_EQ(resultToken.use_count(), 1);
}

TEST(FuturesManagerTest, AnUnfinishedFutureIsKeptUntilALaterAdditionOfTheSameKind)
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
    EXPECT_EQ(voidToken.use_count(), 2); // held by the tracked future only
    EXPECT_EQ(resultToken.use_count(), 2);

    // An addition prunes its own list only.
    std::promise<void> ready;
    ready.set_value();
    manager.addFuture(ready.get_future().share());
    EXPECT_EQ(voidToken.use_count(), 1);
    EXPECT_EQ(resultToken.use_count(), 2);

    manager.addFuture(ResultFuture()); // an invalid future counts as finished
    EXPECT_EQ(resultToken.use_count(), 1);
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
