// One runtime connected in-process: its callbacks and the thread that
// delivers its events in order.
#pragma once

#include "NativeAdapter.h"
#include "core/Connection.h"
#include "core/Events.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace halvora::adapter::embedded {

class RetiredConnections;

// Hands one event to a runtime's callback and reads its reply. The reply
// buffer goes back through the release callback exactly once, whatever it
// holds; no reply at all is an error for whoever waits on the event.
Result deliverToRuntime(HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply, void* runtime,
                        const std::vector<std::uint8_t>& event);
Result deliverToRuntime(HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply, void* runtime,
                        const std::uint8_t* data, std::size_t size);
// The same, freeing the event's bytes as soon as the runtime has read them.
Result deliverToRuntime(HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply, void* runtime,
                        std::vector<std::uint8_t>&& event);

class EmbeddedConnection final : public Connection, public std::enable_shared_from_this<EmbeddedConnection> {
public:
    EmbeddedConnection(std::uint64_t handle, HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply,
                       void* runtime, RetiredConnections& retired);
    EmbeddedConnection(const EmbeddedConnection&) = delete;
    EmbeddedConnection& operator=(const EmbeddedConnection&) = delete;
    ~EmbeddedConnection() override;

    void start();

    bool deliver(Event event, ReplyHandler onReply) override;
    void close(std::vector<std::uint8_t> lastEvent) override;
    void waitClosed() override;
    bool waitClosedFor(std::chrono::milliseconds limit) override;

    // True once the event thread has ended; joining it then cannot block.
    bool finished() const;
    void join();

    // The handle of the connection whose event thread calls this, 0 elsewhere.
    static std::uint64_t currentEventHandle();

private:
    struct QueuedEvent {
        Event event;
        std::vector<std::uint8_t> bytes; // already encoded (the last event), else encoded on the event thread
        ReplyHandler onReply;
    };

    void run();

    const std::uint64_t handle_;
    const HalvoraEventCallback onEvent_;
    const HalvoraReleaseCallback releaseReply_;
    void* const runtime_;
    RetiredConnections& retired_;

    mutable std::mutex queueMutex_; // guards queue_, closed_ and finished_
    std::condition_variable queueChanged_;
    std::deque<QueuedEvent> queue_;
    bool closed_ = false;
    bool finished_ = false;

    std::mutex threadMutex_; // guards thread_ against two joiners
    std::thread thread_;
    std::thread::id threadId_; // set by start(), before any event can reach the runtime
};

// Connections whose event thread could not be joined where they were closed
// (a runtime that disconnects from inside its own event handler). They are
// joined once their thread has ended.
class RetiredConnections {
public:
    void add(std::shared_ptr<EmbeddedConnection> connection);
    // Joins those that have finished; never blocks on a running thread.
    void joinFinished();
    // Joins those that finish within `limit`; the rest are left as they are.
    void joinWithin(std::chrono::milliseconds limit);

private:
    std::mutex retiredMutex_; // guards retired_
    std::vector<std::shared_ptr<EmbeddedConnection>> retired_;
};

} // namespace halvora::adapter::embedded
