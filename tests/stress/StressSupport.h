// Thread counting for the fault-injection tests: no case may leave a thread
// running; and how a future ended, as an enumeration.
#pragma once

#include "Outcome.h"

#include <chrono>
#include <dirent.h>
#include <thread>

namespace HalvoraStress {

using namespace std::chrono_literals;

inline std::size_t threadCount()
{
    std::size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
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
    while (threadCount() > baseline && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return threadCount() <= baseline;
}

enum class Outcome { Value, ApiError, OtherError, Timeout };

template <typename Future>
Outcome outcomeOf(Future&& future, std::string* value = nullptr, std::chrono::milliseconds limit = 10s)
{
    const std::string ended = HalvoraTest::outcome(future, limit);
    if (value != nullptr) {
        *value = ended == "null" ? "(null)" : ended.substr(ended.find(':') + 1);
    }
    return ended == "pending"              ? Outcome::Timeout
           : ended.rfind("error:", 0) == 0 ? Outcome::ApiError
           : ended == "other error"        ? Outcome::OtherError
                                           : Outcome::Value;
}

} // namespace HalvoraStress
