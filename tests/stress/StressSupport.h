// Invariant checks shared by the fault-injection tests: bounded waits on
// futures and counting the process's threads.
#pragma once

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include <chrono>
#include <dirent.h>
#include <future>
#include <string>
#include <thread>
#include <type_traits>

namespace HalvoraStress {

using namespace std::chrono_literals;

inline std::size_t threadCount();

// The thread count to come back to. A thread is started and joined first,
// because sanitizer runtimes start their own helper threads with the
// process's first thread and keep them.
inline std::size_t threadBaseline()
{
    std::thread([] {}).join();
    std::this_thread::sleep_for(20ms);
    return threadCount();
}

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

// True once the process is back to at most `baseline` threads; threads that
// have just settled a future may take a moment to exit.
inline bool threadsSettleTo(std::size_t baseline, std::chrono::milliseconds limit = 3000ms)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (threadCount() > baseline) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

enum class Outcome { Value, ApiError, OtherError, Timeout };

// How a future ended, waiting at most `limit`; anything but a value or a
// HalvoraApiException is a fault.
template <typename Future>
Outcome outcomeOf(Future&& future, std::string* value = nullptr, std::chrono::milliseconds limit = 10000ms)
{
    if (future.wait_for(limit) != std::future_status::ready) {
        return Outcome::Timeout;
    }
    try {
        if constexpr (std::is_void_v<decltype(future.get())>) {
            future.get();
        } else {
            const auto result = future.get();
            if (value != nullptr) {
                *value = result ? *result : "(null)";
            }
        }
        return Outcome::Value;
    } catch (const HalvoraAdapterApi::HalvoraApiException&) {
        return Outcome::ApiError;
    } catch (...) {
        return Outcome::OtherError;
    }
}

} // namespace HalvoraStress
