// The task queue: one worker, first in first out, drained on stop, restartable,
// and never leaving a caller waiting on a task that cannot run.
#include "detail/TaskQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <numeric>
#include <set>
#include <stdexcept>
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

bool abandoned(const Future& future)
{
    try {
        future.get();
    } catch (const std::future_error& e) {
        return e.code() == std::future_errc::broken_promise;
    }
    return false;
}

TEST(TheTaskQueue, RunsTasksInOrderOnOneWorkerAndDrainsThemOnStop)
{
    std::vector<int> order; // written by the worker only
    std::set<std::thread::id> workers;
    auto task = [&](int id) {
        return [&, id] {
            order.push_back(id);
            workers.insert(std::this_thread::get_id());
        };
    };
    TaskQueue queue;
    Future early = push(queue, task(0));         // queued before the worker exists
    push(queue, [&] { push(queue, task(51)); }); // runs after everything already queued
    Future failed = push(queue, [] { throw std::runtime_error("task failed"); });
    for (int i = 1; i <= 50; ++i) {
        push(queue, task(i));
    }
    EXPECT_EQ(early.wait_for(20ms), std::future_status::timeout);
    queue.start();
    queue.start(); // keeps the running worker
    queue.stop();
    EXPECT_THROW(failed.get(), std::runtime_error);
    std::vector<int> expected(52);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    EXPECT_EQ(workers.size(), 1u);
    EXPECT_EQ(workers.count(std::this_thread::get_id()), 0u);
    queue.stop(); // a second stop returns at once
}

TEST(TheTaskQueue, AbandonsTasksThatCanNeverRunRestartsAndDrainsOnDestruction)
{
    std::atomic<int> ran{0};
    auto count = [&] { ++ran; };
    TaskQueue queue;
    Future pending = push(queue, count);
    queue.stop(); // never started: nobody will drain it
    EXPECT_TRUE(abandoned(pending));
    EXPECT_TRUE(abandoned(push(queue, count)));
    queue.start(); // a stopped queue starts again
    EXPECT_EQ(push(queue, count).wait_for(5s), std::future_status::ready);
    queue.stop();
    EXPECT_TRUE(abandoned(push(queue, count)));
    queue.start(); // with a fresh worker
    EXPECT_EQ(push(queue, count).wait_for(5s), std::future_status::ready);
    EXPECT_EQ(ran.load(), 2);

    auto destroyed = std::make_unique<TaskQueue>();
    Future left = push(*destroyed, count);
    destroyed.reset(); // never started: breaks the promise without blocking
    EXPECT_TRUE(abandoned(left));
    destroyed = std::make_unique<TaskQueue>();
    destroyed->start();
    for (int i = 0; i < 20; ++i) {
        push(*destroyed, [&] {
            std::this_thread::sleep_for(200us);
            ++ran;
        });
    }
    destroyed.reset();
    EXPECT_EQ(ran.load(), 22);
}

} // namespace
