// Threads that serve requests of the service's peers. Requests may wait a
// long time (a dispatch waits for its reply, a connect for a provider), so
// the pool grows while every thread is busy, up to a bound.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace halvora::adapter::service {

class WorkerPool {
public:
    explicit WorkerPool(std::size_t maxThreads) : maxThreads_(maxThreads) {}
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;
    ~WorkerPool() { stop(); }

    // False once stopped.
    bool submit(std::function<void()> task);
    // Drops the queued tasks and joins every thread after its current task.
    void stop();

private:
    void run();

    const std::size_t maxThreads_;
    std::mutex tasksMutex_; // guards tasks_, idle_, stopped_ and threads_
    std::condition_variable tasksChanged_;
    std::deque<std::function<void()>> tasks_;
    std::size_t idle_ = 0;
    bool stopped_ = false;
    std::vector<std::thread> threads_;
};

} // namespace halvora::adapter::service
