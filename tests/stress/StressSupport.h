// Bounded polling, and thread counting for the tests that must not leave a
// thread running.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>

namespace HalvoraStress {

using namespace std::chrono_literals;

// Threads of this process; none where the system does not list them.
inline std::size_t threadCount()
{
    std::error_code unlisted;
    const std::filesystem::directory_iterator tasks("/proc/self/task", unlisted);
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// The count to come back to. A thread is started and joined first, because
// sanitizer runtimes start their helper threads with the first one and keep them.
inline std::size_t threadBaseline()
{
    std::thread([] {}).join();
    std::this_thread::sleep_for(20ms);
    return threadCount();
}

// Polls, bounded, for what another thread or process brings about.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s)
{
    // The condition is asked once a round: it may reap a child or take a message.
    for (const auto deadline = std::chrono::steady_clock::now() + limit; !condition(); std::this_thread::sleep_for(2ms))
        if (std::chrono::steady_clock::now() > deadline)
            return false;
    return true;
}

// True once at most `baseline` threads run; threads that have just settled a
// future may take a moment to exit.
inline bool threadsSettleTo(std::size_t baseline)
{
    return eventually([baseline] { return threadCount() <= baseline; });
}

} // namespace HalvoraStress
