// detail::TaskQueue: order and thread, drain on stop, restart, abandoned
// tasks (broken_promise, never a hang), throwing and re-entrant tasks, and
// concurrent producers.
#include "detail/TaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using HalvoraAdapterApi::detail::TaskQueue;

namespace {

using Future = std::shared_future<TaskQueue::Result>;

TaskQueue::Result text(const std::string& value)
{
    return std::make_shared<std::string>(value);
}

bool isReady(const Future& future, std::chrono::milliseconds timeout = std::chrono::milliseconds(0))
{
    return future.wait_for(timeout) == std::future_status::ready;
}

void expectBrokenPromise(const Future& future)
{
    ASSERT_TRUE(isReady(future)) << "an abandoned task must not keep its caller waiting";
    try {
        future.get();
        FAIL() << "expected std::future_error";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::make_error_code(std::future_errc::broken_promise));
    }
}

// Records what ran, in order, and on which thread.
struct Recorder {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;

    TaskQueue::Task task(int id)
    {
        return TaskQueue::Task([this, id] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(id);
            threads.push_back(std::this_thread::get_id());
            return text(std::to_string(id));
        });
    }
};

// A gate a task can wait on, to hold the worker.
struct Gate {
    std::promise<void> promise;
    std::shared_future<void> opened = promise.get_future().share();
    void open() { promise.set_value(); }
};

TEST(TaskQueueTest, TasksRunInEnqueueOrderOnOneWorkerThread)
{
    Recorder recorder;
    TaskQueue queue;
    queue.start();
    std::vector<Future> futures;
    for (int i = 0; i < 200; ++i) {
        futures.push_back(queue.enqueue(recorder.task(i)));
    }
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(*futures[i].get(), std::to_string(i));
    }
    std::vector<int> expected(200);
    for (int i = 0; i < 200; ++i) {
        expected[i] = i;
    }
    EXPECT_EQ(recorder.order, expected);
    for (const auto& id : recorder.threads) {
        EXPECT_EQ(id, recorder.threads.front());
    }
    EXPECT_NE(recorder.threads.front(), std::this_thread::get_id());
}

TEST(TaskQueueTest, TasksNeverRunConcurrently)
{
    TaskQueue queue;
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    std::vector<Future> futures;
    for (int i = 0; i < 50; ++i) {
        futures.push_back(queue.enqueue(TaskQueue::Task([&] {
            if (running.fetch_add(1) != 0) {
                ++overlaps;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            running.fetch_sub(1);
            return TaskQueue::Result();
        })));
    }
    queue.start();
    for (auto& future : futures) {
        future.wait();
    }
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(TaskQueueTest, TaskEnqueuedBeforeStartWaitsAndRunsOnStart)
{
    Recorder recorder;
    TaskQueue queue;
    Future future = queue.enqueue(recorder.task(1));
    EXPECT_FALSE(isReady(future, std::chrono::milliseconds(30)));
    queue.start();
    EXPECT_EQ(*future.get(), "1");
}

TEST(TaskQueueTest, SecondStartKeepsTheRunningWorker)
{
    Recorder recorder;
    TaskQueue queue;
    queue.start();
    queue.enqueue(recorder.task(1)).wait();
    queue.start();
    queue.enqueue(recorder.task(2)).wait();
    ASSERT_EQ(recorder.threads.size(), 2u);
    EXPECT_EQ(recorder.threads[0], recorder.threads[1]);
}

TEST(TaskQueueTest, StopDrainsEveryPendingTaskBeforeReturning)
{
    TaskQueue queue;
    std::vector<Future> futures;
    for (int i = 0; i < 3; ++i) {
        futures.push_back(queue.enqueue(TaskQueue::Task([i] {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            return text(std::to_string(i));
        })));
    }
    queue.start();
    queue.stop();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(isReady(futures[i])) << i;
        EXPECT_EQ(*futures[i].get(), std::to_string(i));
    }
}

TEST(TaskQueueTest, TasksEnqueuedWhileDrainingStillRun)
{
    TaskQueue queue;
    Gate gate;
    std::promise<Future> inner;
    queue.enqueue(TaskQueue::Task([&] {
        gate.opened.wait();
        inner.set_value(queue.enqueue(TaskQueue::Task([] { return text("late but drained"); })));
        return TaskQueue::Result();
    }));
    queue.start();
    std::thread stopper([&] { queue.stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let stop() begin draining
    gate.open();
    stopper.join();
    Future late = inner.get_future().get();
    ASSERT_TRUE(isReady(late));
    EXPECT_EQ(*late.get(), "late but drained");
}

TEST(TaskQueueTest, SecondStopReturnsAtOnce)
{
    TaskQueue queue;
    queue.start();
    queue.enqueue(TaskQueue::Task([] { return text("x"); }));
    queue.stop();
    const auto before = std::chrono::steady_clock::now();
    queue.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
}

TEST(TaskQueueTest, ConcurrentStopsBothReturnAfterTheDrain)
{
    TaskQueue queue;
    std::vector<Future> futures;
    for (int i = 0; i < 20; ++i) {
        futures.push_back(queue.enqueue(TaskQueue::Task([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return text("done");
        })));
    }
    queue.start();
    std::thread a([&] { queue.stop(); });
    std::thread b([&] { queue.stop(); });
    a.join();
    b.join();
    for (auto& future : futures) {
        ASSERT_TRUE(isReady(future));
        EXPECT_EQ(*future.get(), "done");
    }
}

TEST(TaskQueueTest, EnqueueAfterStopIsAbandonedAtOnceAndNeverRuns)
{
    TaskQueue queue;
    queue.start();
    queue.stop();
    std::atomic<bool> ran{false};
    Future future = queue.enqueue(TaskQueue::Task([&] {
        ran = true;
        return text("never");
    }));
    expectBrokenPromise(future);
    EXPECT_FALSE(ran.load());
}

TEST(TaskQueueTest, StopOnANeverStartedQueueAbandonsItsPendingTasks)
{
    TaskQueue queue;
    std::atomic<bool> ran{false};
    Future future = queue.enqueue(TaskQueue::Task([&] {
        ran = true;
        return text("never");
    }));
    queue.stop();
    expectBrokenPromise(future);
    expectBrokenPromise(queue.enqueue(TaskQueue::Task([] { return text("never"); })));
    EXPECT_FALSE(ran.load());
}

TEST(TaskQueueTest, RestartsAfterStopWithAFreshWorker)
{
    Recorder recorder;
    TaskQueue queue;
    for (int cycle = 0; cycle < 5; ++cycle) {
        queue.start();
        EXPECT_EQ(*queue.enqueue(recorder.task(cycle)).get(), std::to_string(cycle));
        queue.stop();
        expectBrokenPromise(queue.enqueue(recorder.task(100 + cycle)));
    }
    EXPECT_EQ(recorder.order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(TaskQueueTest, StartAfterStopOnANeverStartedQueueRuns)
{
    TaskQueue queue;
    queue.stop();
    queue.start();
    EXPECT_EQ(*queue.enqueue(TaskQueue::Task([] { return text("ran"); })).get(), "ran");
}

TEST(TaskQueueTest, DestroyingANeverStartedQueueBreaksEveryPendingPromiseWithoutBlocking)
{
    std::vector<Future> futures;
    std::atomic<int> ran{0};
    {
        TaskQueue queue;
        for (int i = 0; i < 3; ++i) {
            futures.push_back(queue.enqueue(TaskQueue::Task([&] {
                ++ran;
                return text("never");
            })));
        }
    }
    for (auto& future : futures) {
        expectBrokenPromise(future);
    }
    EXPECT_EQ(ran.load(), 0);
}

TEST(TaskQueueTest, DestroyingARunningQueueDrainsItFirst)
{
    std::vector<Future> futures;
    {
        TaskQueue queue;
        queue.start();
        for (int i = 0; i < 10; ++i) {
            futures.push_back(queue.enqueue(TaskQueue::Task([i] { return text(std::to_string(i)); })));
        }
    }
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(isReady(futures[i]));
        EXPECT_EQ(*futures[i].get(), std::to_string(i));
    }
}

TEST(TaskQueueTest, AThrowingTaskFailsItsOwnFutureAndTheNextStillRuns)
{
    TaskQueue queue;
    queue.start();
    Future failing = queue.enqueue(TaskQueue::Task([]() -> TaskQueue::Result { throw std::runtime_error("boom"); }));
    Future next = queue.enqueue(TaskQueue::Task([] { return text("next"); }));
    try {
        failing.get();
        FAIL() << "expected std::runtime_error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "boom");
    }
    EXPECT_EQ(*next.get(), "next");
}

TEST(TaskQueueTest, ReentrantEnqueueRunsAfterEverythingAlreadyQueued)
{
    Recorder recorder;
    TaskQueue queue;
    std::promise<Future> inner;
    queue.enqueue(TaskQueue::Task([&] {
        {
            std::lock_guard<std::mutex> lock(recorder.mutex);
            recorder.order.push_back(1);
        }
        inner.set_value(queue.enqueue(recorder.task(3)));
        return TaskQueue::Result();
    }));
    queue.enqueue(recorder.task(2));
    queue.start();
    EXPECT_EQ(*inner.get_future().get().get(), "3");
    EXPECT_EQ(recorder.order, (std::vector<int>{1, 2, 3}));
}

TEST(TaskQueueTest, ConcurrentEnqueueFromManyThreadsKeepsEachProducersOrder)
{
    constexpr int producers = 8;
    constexpr int perProducer = 500;
    TaskQueue queue;
    queue.start();
    std::mutex mutex;
    std::vector<std::vector<int>> seen(producers);
    std::vector<std::thread> threads;
    std::vector<std::vector<Future>> futures(producers);
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; ++i) {
                futures[p].push_back(queue.enqueue(TaskQueue::Task([&, p, i] {
                    std::lock_guard<std::mutex> lock(mutex);
                    seen[p].push_back(i);
                    return TaskQueue::Result();
                })));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    queue.stop();
    for (int p = 0; p < producers; ++p) {
        ASSERT_EQ(seen[p].size(), static_cast<std::size_t>(perProducer)) << p;
        for (int i = 0; i < perProducer; ++i) {
            EXPECT_EQ(seen[p][i], i);
        }
        for (auto& future : futures[p]) {
            EXPECT_TRUE(isReady(future));
        }
    }
}

TEST(TaskQueueTest, EnqueueWithoutAFutureToTakeRaisesBeforeQueueing)
{
    TaskQueue queue;
    try {
        queue.enqueue(TaskQueue::Task());
        FAIL() << "expected std::future_error";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::make_error_code(std::future_errc::no_state));
    }
    TaskQueue::Task taken([] { return text("x"); });
    auto kept = taken.get_future();
    try {
        queue.enqueue(std::move(taken));
        FAIL() << "expected std::future_error";
    } catch (const std::future_error& e) {
        EXPECT_EQ(e.code(), std::make_error_code(std::future_errc::future_already_retrieved));
    }
    queue.start();
    EXPECT_EQ(*queue.enqueue(TaskQueue::Task([] { return text("only"); })).get(), "only");
}

} // namespace
