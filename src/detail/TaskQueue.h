#pragma once

#include <condition_variable>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace HalvoraAdapterApi {
namespace detail {

// A runtime's single worker thread and its first-in, first-out queue of
// packaged tasks. The worker is started on connect and stopped (after
// draining) on disconnect; it can be started again for a reconnect.
class TaskQueue {
public:
    using Result = std::shared_ptr<std::string>;
    using Task = std::packaged_task<Result()>;

    TaskQueue() = default;
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;
    ~TaskQueue();

    // Starts a worker unless one is running; after a stop it starts a fresh one.
    void start();
    // Queues the task. On a stopped queue the task is abandoned at once, so
    // its future holds std::future_error(broken_promise) instead of waiting.
    std::shared_future<Result> enqueue(Task task);
    // Lets the worker drain the queue, then joins it. Must not be called from a task.
    void stop();

private:
    enum class State { Idle, Running, Stopping, Stopped };

    void run();

    // Serialises start() and stop() so their joins and thread starts never overlap.
    std::mutex controlMutex;
    std::thread worker;
    // Guards tasks and state.
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<Task> tasks;
    State state = State::Idle;
};

} // namespace detail
} // namespace HalvoraAdapterApi
