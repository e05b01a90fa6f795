// Thread counting for the tests that must not leave a thread running.
#pragma once

#include "Outcome.h" // the tests that include this one read futures' outcomes too

#include <chrono>
#include <dirent.h>
#include <thread>

namespace HalvoraStress {

using namespace std::chrono_literals;

inline std::size_t threadCount()
{
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks))
            count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(tasks);
    }
    return count;
}

// The count to come back to. A thread is started and joined first, because
// sanitizer runtimes start their helper threads with the first one and keep them.
inline std::size_t threadBaseline()
{
    std::thread([] {}).join();
    std::this_thread::sleep_for(20ms);
    return threadCount();
}

// True once at most `baseline` threads run; threads that have just settled a
// future may take a moment to exit.
inline bool threadsSettleTo(std::size_t baseline)
{
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (threadCount() > baseline && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    return threadCount() <= baseline;
}

} // namespace HalvoraStress
