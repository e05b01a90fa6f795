// What a runtime's use cannot show of its task queue and futures manager:
// work queued before the worker ever started is abandoned, not left waiting;
// finished futures are forgotten within bounded additions, while destruction
// waits for every unfinished one. Order, draining and restarts show through
// the runtime's launches and dispatches.
#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace HalvoraAdapterApi::detail;
using namespace std::chrono_literals;

namespace {

using ResultFuture = std::shared_future<std::shared_ptr<std::string>>;

bool abandoned(const ResultFuture& future)
{
    try {
        future.get();
    } catch (const std::future_error& e) {
        return e.code() == std::future_errc::broken_promise;
    }
    return false;
}

TEST(TheTaskQueue, AbandonsWorkThatCanNeverRunAndStartsAgainAfterAStop)
{
    int ran = 0; // by the worker, read once its future is ready
    const auto push = [&ran](TaskQueue& queue) {
        return queue.enqueue(TaskQueue::Task([&ran] { return std::make_shared<std::string>(std::to_string(++ran)); }));
    };
    TaskQueue queue;
    ResultFuture pending = push(queue);
    queue.stop(); // never started: nobody will drain it
    EXPECT_TRUE(abandoned(pending));
    EXPECT_TRUE(abandoned(push(queue)));
    queue.start();
    EXPECT_EQ(*push(queue).get(), "1");
}

// A future that is ready at once, holding `value...`.
template <typename T, typename... Value>
std::shared_future<T> ready(Value... value)
{
    std::promise<T> promise;
    promise.set_value(value...);
    return promise.get_future().share();
}

// A finished future holds its value; a token's count shows whether the
// manager still holds the future.
TEST(TheFuturesManager, ForgetsFinishedFuturesOfEachKindButWaitsOnDestructionForEveryUnfinishedOne)
{
    auto manager = std::make_unique<FuturesManager>();
    std::promise<void> unfinishedVoid;
    std::promise<std::shared_ptr<std::string>> unfinishedResult;
    auto voidToken = std::make_shared<int>(0), resultToken = std::make_shared<int>(0);
    {
        std::promise<void> failing;
        manager->addFuture(failing.get_future().share());
        manager->addFuture(unfinishedVoid.get_future().share());   // not last: waits for a scan
        failing.set_exception(std::make_exception_ptr(voidToken)); // never rethrown
    }
    manager->addFuture(unfinishedResult.get_future().share());
    manager->addFuture(ready<std::shared_ptr<std::string>>(std::shared_ptr<std::string>(resultToken, nullptr)));
    manager->addFuture(std::shared_future<void>()); // invalid ones are skipped
    manager->addFuture(ResultFuture());
    for (int i = 0; i < 1000; ++i) // the other kind's additions forget nothing
        manager->addFuture(ready<std::shared_ptr<std::string>>(nullptr));
    EXPECT_EQ(voidToken.use_count(), 2);
    EXPECT_EQ(resultToken.use_count(), 1);
    int added = 0;
    for (; voidToken.use_count() > 1 && added < 100; ++added)
        manager->addFuture(ready<void>());
    EXPECT_EQ(voidToken.use_count(), 1);
    EXPECT_GT(added, 1);                        // amortised: not pruned at every addition
    auto lastResult = std::make_shared<int>(0); // one call at a time: gone with the next addition
    manager->addFuture(ready<std::shared_ptr<std::string>>(std::shared_ptr<std::string>(lastResult, nullptr)));
    manager->addFuture(ResultFuture());
    EXPECT_EQ(lastResult.use_count(), 1);

    std::atomic<bool> deferredRan{false};
    manager->addFuture(std::async(std::launch::deferred, [&] { deferredRan = true; }).share());
    auto destroyed = std::async(std::launch::async, [&] { manager.reset(); });
    EXPECT_EQ(destroyed.wait_for(30ms), std::future_status::timeout);
    unfinishedVoid.set_value();
    EXPECT_EQ(destroyed.wait_for(30ms), std::future_status::timeout);
    unfinishedResult.set_value(nullptr); // kept through every prune
    EXPECT_EQ(destroyed.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(deferredRan); // a deferred future counts as unfinished and is run
}

} // namespace
