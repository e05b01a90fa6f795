// One process-wide thread, owned and joined by the library, for work that must
// not run on the thread that gives rise to it: the final teardown of a runtime
// whose last reference goes on one of the library's own threads, the joining
// of finished connect and disconnect threads, and the deadlines of calls made
// from inside handlers.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace HalvoraAdapterApi {
namespace detail {

class Reaper {
public:
    using Clock = std::chrono::steady_clock;

    static Reaper& instance();

    Reaper(const Reaper&) = delete;
    Reaper& operator=(const Reaper&) = delete;
    ~Reaper();

    // Runs `job` on the reaper thread, after the jobs posted before it.
    void post(std::function<void()> job);
    // Runs `job` on the reaper thread once `when` has passed, unless cancelled.
    std::uint64_t at(Clock::time_point when, std::function<void()> job);
    void cancel(std::uint64_t timer);
    // Runs `body` on a thread of its own, which the reaper joins once it ends.
    void spawn(std::function<void()> body);

private:
    Reaper() = default;
    void ensureStarted();
    void run();

    // Guards everything below.
    std::mutex mutex;
    std::condition_variable changed;
    // The thread ends when it has nothing left to do and is started again on
    // demand, so an idle library keeps no thread of its own.
    std::thread thread;
    bool running = false;
    bool stopping = false;
    std::vector<std::function<void()>> jobs;
    std::uint64_t nextTimerId = 0;
    std::map<std::pair<Clock::time_point, std::uint64_t>, std::function<void()>> timers;
    std::map<std::uint64_t, Clock::time_point> timerDeadlines;
    std::uint64_t nextThreadId = 0;
    std::map<std::uint64_t, std::thread> threads;
    std::vector<std::uint64_t> ended;
};

// Marks the library's own threads (event callbacks, task-queue workers, the
// reaper): a runtime whose last reference goes there is torn down by the reaper.
class LibraryThread {
public:
    LibraryThread();
    ~LibraryThread();
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;

    static bool current();
};

} // namespace detail
} // namespace HalvoraAdapterApi
