// How the routing core answers an operation that may have to wait for
// another runtime: it takes a completion and runs it exactly once, on
// whichever thread settles the operation, never under the core's lock.
#pragma once

#include "core/Result.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace halvora::adapter {

using Completion = std::function<void(Result)>;

// Lets a synchronous caller wait on its own thread for one completion.
class CompletionWaiter {
public:
    CompletionWaiter() : state_(std::make_shared<State>()) {}

    // The completion to hand to the core. It keeps the shared state alive, so
    // it may run after the waiter has gone.
    Completion completion() const
    {
        return [state = state_](Result result) {
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->done)
                    return;
                state->done = true;
                state->result = std::move(result);
            }
            state->finished.notify_one();
        };
    }

    Result wait()
    {
        std::unique_lock<std::mutex> lock(state_->mutex);
        state_->finished.wait(lock, [this] { return state_->done; });
        return std::move(state_->result);
    }

private:
    struct State {
        std::mutex mutex; // guards done and result
        std::condition_variable finished;
        bool done = false;
        Result result;
    };
    std::shared_ptr<State> state_;
};

// Serves one request through `start` and waits for its completion.
template <typename Start>
Result waitForCompletion(Start start)
{
    CompletionWaiter waiter;
    start(waiter.completion());
    return waiter.wait();
}

} // namespace halvora::adapter
