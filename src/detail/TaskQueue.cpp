#include "detail/TaskQueue.h"

#include "detail/Reaper.h"

#include <utility>

namespace HalvoraAdapterApi {
namespace detail {

TaskQueue::~TaskQueue()
{
    stop();
}

void TaskQueue::start()
{
    std::lock_guard<std::mutex> control(controlMutex);
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state == State::Running || state == State::Stopping) {
            return;
        }
    }
    // A worker from before a stop has exited already; reap it first.
    if (worker.joinable()) {
        worker.join();
    }
    State previous;
    {
        std::lock_guard<std::mutex> lock(mutex);
        previous = state;
        state = State::Running;
    }
    try {
        worker = std::thread([this] { run(); });
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        state = previous;
        throw;
    }
}

std::shared_future<TaskQueue::Result> TaskQueue::enqueue(Task task)
{
    std::shared_future<Result> future = task.get_future().share();
    Task abandoned;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state == State::Stopped) {
            abandoned = std::move(task);
        } else {
            tasks.push_back(std::move(task));
        }
    }
    condition.notify_one();
    return future;
    // `abandoned` is destroyed outside the lock, breaking its promise.
}

void TaskQueue::stop()
{
    std::lock_guard<std::mutex> control(controlMutex);
    std::deque<Task> abandoned;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (state == State::Idle) {
            // Nobody will ever drain these; do not leave their callers waiting.
            state = State::Stopped;
            abandoned.swap(tasks);
        } else if (state == State::Running) {
            state = State::Stopping;
        }
    }
    condition.notify_all();
    if (worker.joinable()) {
        worker.join();
    }
}

void TaskQueue::run()
{
    LibraryThread marked;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        condition.wait(lock, [this] { return state == State::Stopping || !tasks.empty(); });
        if (tasks.empty()) {
            state = State::Stopped;
            return;
        }
        Task task = std::move(tasks.front());
        tasks.pop_front();
        lock.unlock();
        task();
        task = Task();
        lock.lock();
    }
}

} // namespace detail
} // namespace HalvoraAdapterApi
