#include "service/WorkerPool.h"

#include <utility>

namespace halvora::adapter::service {

bool WorkerPool::submit(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        if (stopped_)
            return false;
        tasks_.push_back(std::move(task));
        if (idle_ < tasks_.size() && threads_.size() < maxThreads_)
            threads_.emplace_back([this] { run(); });
    }
    tasksChanged_.notify_one();
    return true;
}

void WorkerPool::stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        stopped_ = true;
        tasks_.clear();
        threads.swap(threads_);
    }
    tasksChanged_.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

void WorkerPool::run()
{
    std::unique_lock<std::mutex> lock(tasksMutex_);
    for (;;) {
        ++idle_;
        tasksChanged_.wait(lock, [this] { return stopped_ || !tasks_.empty(); });
        --idle_;
        if (stopped_)
            return;
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr; // what the task held goes before the lock is taken again
        lock.lock();
    }
}

} // namespace halvora::adapter::service
