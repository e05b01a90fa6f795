// The task queue: one worker, first in first out, drained on stop, restartable,
// and never leaving a caller waiting on a task that cannot run.
#include "detail/TaskQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using HalvoraAdapterApi::detail::TaskQueue;
using namespace std::chrono_literals;

namespace {

using Future = std::shared_future<TaskQueue::Result>;

Future push(TaskQueue& queue, std::function<void()> work)
{
    return queue.enqueue(TaskQueue::Task([work = std::move(work)] {
        work();
        return std::make_shared<std::string>("done");
    }));
}

bool ready(const Future& future, std::chrono::milliseconds limit = 5s)
{
    return future.wait_for(limit) == std::future_status::ready;
}

bool abandoned(const Future& future)
{
    try {
        future.get();
    } catch (const std::future_error& e) {
        return e.code() == std::future_errc::broken_promise;
    }
    return false;
}

// Records what ran, where, and whether two tasks ever overlapped.
struct Log {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};

    std::function<void()> task(int id)
    {
        return [this, id] {
            overlapped = overlapped || running++ != 0;
            std::this_thread::sleep_for(100us);
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(id);
            threads.push_back(std::this_thread::get_id());
            --running;
        };
    }
};

TEST(TheTaskQueue, RunsTasksInOrderOnOneWorkerAndDrainsThemOnStop)
{
    Log log;
    TaskQueue queue;
    Future early = push(queue, log.task(0)); // queued before the worker exists
    // A task that queues another: that one runs after everything already queued.
    push(queue, [&] { push(queue, log.task(99)); });
    std::vector<Future> futures;
    for (int i = 1; i <= 50; ++i) {
        futures.push_back(push(queue, log.task(i)));
    }
    EXPECT_FALSE(ready(early, 20ms));
    queue.start();
    queue.start(); // keeps the running worker
    EXPECT_TRUE(ready(early));
    queue.stop();
    for (const Future& future : futures) {
        EXPECT_EQ(future.wait_for(0s), std::future_status::ready);
        EXPECT_EQ(*future.get(), "done");
    }
    ASSERT_EQ(log.order.size(), 52u);
    for (int i = 0; i <= 50; ++i) {
        EXPECT_EQ(log.order[i], i);
    }
    EXPECT_EQ(log.order.back(), 99);
    EXPECT_FALSE(log.overlapped);
    EXPECT_NE(log.threads.front(), std::this_thread::get_id());
    EXPECT_EQ(std::count(log.threads.begin(), log.threads.end(), log.threads.front()), 52);
    queue.stop(); // a second stop returns at once
}

TEST(TheTaskQueue, AbandonsTasksThatCanNeverRunAndRestartsWithAFreshWorker)
{
    std::atomic<int> ran{0};
    TaskQueue never;
    Future pending = push(never, [&] { ++ran; });
    never.stop(); // never started: nobody will drain it
    EXPECT_TRUE(abandoned(pending));
    EXPECT_TRUE(abandoned(push(never, [&] { ++ran; })));
    never.start(); // a stopped queue starts again
    EXPECT_TRUE(ready(push(never, [&] { ++ran; })));
    never.stop();

    TaskQueue queue;
    queue.start();
    queue.stop();
    EXPECT_TRUE(abandoned(push(queue, [&] { ++ran; })));
    queue.start();
    EXPECT_TRUE(ready(push(queue, [&] { ++ran; })));
    EXPECT_EQ(ran.load(), 2);

    auto destroyed = std::make_unique<TaskQueue>();
    Future left = push(*destroyed, [&] { ++ran; });
    destroyed.reset(); // never started: breaks the promise without blocking
    EXPECT_TRUE(abandoned(left));
}

TEST(TheTaskQueue, KeepsRunningAfterAThrowingTaskAndDrainsOnDestruction)
{
    std::atomic<int> ran{0};
    Future failed;
    {
        TaskQueue queue;
        queue.start();
        failed = push(queue, [] { throw std::runtime_error("task failed"); });
        for (int i = 0; i < 20; ++i) {
            push(queue, [&] {
                std::this_thread::sleep_for(200us);
                ++ran;
            });
        }
    }
    EXPECT_THROW(failed.get(), std::runtime_error);
    EXPECT_EQ(ran.load(), 20);
}

TEST(TheTaskQueue, KeepsEachProducersOrderWhileAnotherThreadStopsIt)
{
    TaskQueue queue;
    queue.start();
    std::mutex mutex;
    std::vector<std::vector<int>> seen(4);
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 200; ++i) {
                push(queue, [&, p, i] {
                    std::lock_guard<std::mutex> lock(mutex);
                    seen[p].push_back(i);
                });
            }
        });
    }
    // Tasks queued while stop() drains run; later ones are abandoned, in order.
    std::thread stopper([&] { queue.stop(); });
    for (auto& producer : producers) {
        producer.join();
    }
    stopper.join();
    queue.stop();
    for (const auto& one : seen) {
        for (std::size_t i = 0; i < one.size(); ++i) {
            ASSERT_EQ(one[i], static_cast<int>(i));
        }
    }
}

} // namespace
