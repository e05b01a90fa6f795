// How an operation ended, as one comparable text, waiting a bounded time so
// that a lost completion fails the test instead of hanging it.
#pragma once

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <type_traits>

namespace HalvoraTest {

// "value:<text>", "null", "done" (void), "error:<HalvoraApiException text>",
// "other error" or "pending".
template <typename Future>
std::string outcome(Future&& future, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    if (future.wait_for(limit) != std::future_status::ready)
        return "pending";
    try {
        if constexpr (std::is_void_v<decltype(future.get())>) {
            future.get();
            return "done";
        } else {
            const std::shared_ptr<std::string> value = future.get();
            return value ? "value:" + *value : "null";
        }
    } catch (const HalvoraAdapterApi::HalvoraApiException& e) {
        return std::string("error:") + e.what();
    } catch (...) {
        return "other error";
    }
}

// The text of the HalvoraApiException that `action` raises at once, or "".
template <typename Action>
std::string apiError(Action&& action)
{
    try {
        action();
    } catch (const HalvoraAdapterApi::HalvoraApiException& e) {
        return e.what();
    }
    return "";
}

} // namespace HalvoraTest
