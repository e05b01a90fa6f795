// The cross-process transport: one runtime of this process connected to a
// runtime service through its own socket. A reader thread takes the
// service's frames, completes each waiting call itself and sends heartbeats;
// an event thread hands events to the runtime in order, so a handler that
// makes a call never stops replies from arriving.
#pragma once

#include "NativeAdapter.h"
#include "core/Result.h"
#include "wire/Frames.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace halvora::adapter::remote {

class RemoteConnection {
public:
    RemoteConnection(std::string socketPath, HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply,
                     void* runtime);
    RemoteConnection(const RemoteConnection&) = delete;
    RemoteConnection& operator=(const RemoteConnection&) = delete;
    ~RemoteConnection();

    // Checks the socket's directory, connects, starts the threads and
    // connects the runtime; an error result when any of that fails.
    // `heartbeats` as the runtime's options ask.
    Result open(const std::uint8_t* request, std::uint64_t length, bool heartbeats);

    // One request to the service; waits for its answer or for the
    // connection to end (then an error). A service that stops answering
    // ends the connection within wire::silenceLimit.
    Result call(const char* op, const std::uint8_t* request, std::uint64_t length);

    // Disconnects the runtime; no "AdapterDisconnected" follows.
    void disconnect();

    // Ends the connection from this side: pending calls fail and, with
    // `announce`, the runtime hears "AdapterDisconnected" last.
    void end(bool announce);

    // Joins the threads, except the caller's own; false when the event
    // thread is the caller or did not end within `limit`.
    bool joinFor(std::chrono::milliseconds limit);
    bool finished() const;

    // What a calling thread waits on: completed once, by the reader with the
    // answer or by whoever ends the connection.
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        Result result;
    };

private:
    struct QueuedEvent {
        std::vector<std::uint8_t> bytes;
        std::uint64_t id = 0;
        bool needsReply = true;
    };
    using Clock = std::chrono::steady_clock;

    Result connectSocket();
    void readLoop();
    void eventLoop();
    void onFrame(wire::Message& message);
    // Whole frames only; false when the service took nothing for
    // wire::silenceLimit or the socket failed.
    bool send(const wire::FramePieces& frame);
    bool sendLocked(const std::uint8_t* data, std::size_t length);
    void heartbeatIfIdle(Clock::time_point now);
    void lost(const std::string& why);
    void lostWriting();
    void shutdownSocket();

    const std::string socketPath_;
    const HalvoraEventCallback onEvent_;
    const HalvoraReleaseCallback releaseReply_;
    void* const runtime_;

    int fd_ = -1;
    bool heartbeats_ = true;          // set by open() before the reader starts
    std::uint64_t serviceHandle_ = 0; // set by open() before any event can run
    std::atomic<Clock::rep> lastSent_{0};
    std::atomic<std::uint64_t> nextCallId_{1};
    std::atomic<bool> quiet_{false};      // ended on purpose: no "AdapterDisconnected"
    std::atomic<bool> dropEvents_{false}; // ended on purpose: events not yet delivered are dropped

    std::mutex writeMutex_; // serialises whole frames on the socket

    std::mutex callsMutex_; // guards calls_, ended_, endReason_
    std::unordered_map<std::uint64_t, Waiter*> calls_;
    bool ended_ = false;
    std::string endReason_;

    mutable std::mutex eventsMutex_; // guards the event queue and the event thread's state
    std::condition_variable eventsChanged_;
    std::deque<QueuedEvent> events_;
    bool eventsEnded_ = false;
    bool eventThreadDone_ = false;
    std::thread::id eventThreadId_;

    std::mutex threadsMutex_; // guards the two threads against two joiners
    std::thread reader_;
    std::thread eventThread_;
};

} // namespace halvora::adapter::remote
