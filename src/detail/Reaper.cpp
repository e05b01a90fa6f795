#include "detail/Reaper.h"

#include <exception>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

thread_local int libraryThreadDepth = 0;

} // namespace

LibraryThread::LibraryThread()
{
    ++libraryThreadDepth;
}

LibraryThread::~LibraryThread()
{
    --libraryThreadDepth;
}

bool LibraryThread::current()
{
    return libraryThreadDepth > 0;
}

Reaper& Reaper::instance()
{
#ifdef _WIN32
    // A DLL's statics go after every other thread has ended; joining there hangs.
    static Reaper* reaper = new Reaper();
    return *reaper;
#else
    static Reaper reaper;
    return reaper;
#endif
}

Reaper::~Reaper()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void Reaper::ensureStarted()
{
    if (running) {
        return;
    }
    // A thread that went idle has left the lock for good; joining it is quick.
    if (thread.joinable()) {
        thread.join();
    }
    thread = std::thread([this] { run(); });
    running = true;
}

void Reaper::post(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        ensureStarted();
        jobs.push_back(std::move(job));
    }
    changed.notify_all();
}

std::uint64_t Reaper::at(Clock::time_point when, std::function<void()> job)
{
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ensureStarted();
        id = ++nextTimerId;
        timers.emplace(std::make_pair(when, id), std::move(job));
        timerDeadlines.emplace(id, when);
    }
    changed.notify_all();
    return id;
}

void Reaper::cancel(std::uint64_t timer)
{
    std::function<void()> cancelled;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto deadline = timerDeadlines.find(timer);
        if (deadline == timerDeadlines.end()) {
            return;
        }
        auto entry = timers.find(std::make_pair(deadline->second, timer));
        cancelled = std::move(entry->second);
        timers.erase(entry);
        timerDeadlines.erase(deadline);
    }
    // Not woken: a cancelled deadline does not wake it (see run()), so the
    // call answered in time costs no wake-up.
    // `cancelled` goes here, outside the lock.
}

void Reaper::spawn(std::function<void()> body)
{
    std::lock_guard<std::mutex> lock(mutex);
    ensureStarted();
    const std::uint64_t id = nextThreadId++;
    // The thread reports its end under this same lock, so it is in the map by then.
    threads.emplace(id, std::thread([this, id, body = std::move(body)]() mutable {
                        body();
                        body = nullptr;
                        {
                            std::lock_guard<std::mutex> ending(mutex);
                            ended.push_back(id);
                        }
                        changed.notify_all();
                    }));
}

void Reaper::run()
{
    LibraryThread marked;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        const auto due = [this] { return !timers.empty() && timers.begin()->first.first <= Clock::now(); };
        const auto ready = [&] { return stopping || !jobs.empty() || !ended.empty() || due(); };
        if (!stopping && jobs.empty() && timers.empty() && threads.empty() && ended.empty()) {
            running = false;
            return;
        }
        // Woken also by a deadline armed before the one it waits for, which
        // is then waited for instead. A cancelled deadline does not wake it:
        // it stays up until that deadline, ready for the next call's.
        const auto earliest = [this] {
            return timers.empty() ? Clock::time_point::max() : timers.begin()->first.first;
        };
        // A copy: the timer may be cancelled, and its node freed, while this waits.
        const Clock::time_point next = earliest();
        const auto wake = [&] { return ready() || earliest() < next; };
        if (timers.empty()) {
            changed.wait(lock, wake);
        } else {
            changed.wait_until(lock, next, wake);
        }
        std::vector<std::function<void()>> work;
        work.swap(jobs);
        while (due()) {
            work.push_back(std::move(timers.begin()->second));
            timerDeadlines.erase(timers.begin()->first.second);
            timers.erase(timers.begin());
        }
        std::vector<std::thread> finished;
        for (std::uint64_t id : ended) {
            auto found = threads.find(id);
            finished.push_back(std::move(found->second));
            threads.erase(found);
        }
        ended.clear();
        const bool last = stopping && work.empty() && finished.empty();
        std::vector<std::thread> remaining;
        if (last) {
            // At exit: pending deadlines no longer matter; running threads are awaited.
            timers.clear();
            timerDeadlines.clear();
            for (auto& entry : threads) {
                remaining.push_back(std::move(entry.second));
            }
            threads.clear();
        }
        lock.unlock();
        for (auto& job : work) {
            try {
                job();
            } catch (...) {
                // A job is teardown or a deadline; neither has anyone to report to.
            }
            job = nullptr;
        }
        for (auto& done : finished) {
            done.join();
        }
        for (auto& running : remaining) {
            running.join();
        }
        if (last) {
            lock.lock();
            running = false;
            return;
        }
        lock.lock();
    }
}

} // namespace detail
} // namespace HalvoraAdapterApi
