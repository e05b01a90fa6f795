// The cross-process transport: one runtime of this process connected to a
// runtime service through its own socket. Whoever waits reads: a calling
// thread reads the socket itself until its answer is in, and an idle event
// thread reads until an event is in and runs it, so an answer or an event
// wakes one thread, the one it is for. One thread reads at a time; the others
// are handed what it reads. A keeper thread sends heartbeats, notices a
// silent service and reads while nobody else does.
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

    // What a calling thread waits on: completed once, by whoever reads the
    // answer or ends the connection; or told to take over the reading.
    struct Waiter {
        std::mutex mutex;
        std::condition_variable done;
        bool answered = false;
        bool reads = false;
        Result result;
    };

private:
    struct QueuedEvent {
        std::vector<std::uint8_t> bytes;
        std::uint64_t id = 0;
        bool needsReply = true;
    };
    using Clock = std::chrono::steady_clock;

    enum class Read { Data, Nothing, Ended };

    Result connectSocket();
    void keeperLoop();
    void eventLoop();
    void waitForEvents();
    // Takes the reading when nobody reads; callsMutex_ held.
    bool takeReadingLocked(bool eventThread);
    // Hands the reading to a call that still waits, or lets it go.
    void passReading();
    void armLocked(bool armed);
    // One read of the socket, and every whole frame in it handled; the
    // reading held. Ended when the connection is over.
    Read readOnce(bool block);
    void onFrame(wire::Message& message);
    void wakeEventThread();
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
    int poller_ = -1;                 // the idle event thread's: the socket while it may read, and wake_
    int wake_ = -1;                   // wakes the idle event thread for events others read
    bool heartbeats_ = true;          // set by open() before the keeper starts
    std::uint64_t serviceHandle_ = 0; // set by open() before any event can run
    std::atomic<Clock::rep> lastSent_{0};
    std::atomic<Clock::rep> lastHeard_{0};
    wire::FrameReader frames_; // used only by the thread that reads
    std::atomic<std::uint64_t> nextCallId_{1};
    std::atomic<bool> quiet_{false};      // ended on purpose: no "AdapterDisconnected"
    std::atomic<bool> dropEvents_{false}; // ended on purpose: events not yet delivered are dropped

    std::mutex writeMutex_; // serialises whole frames on the socket

    std::mutex callsMutex_; // guards calls_, ended_, endReason_ and who reads
    std::unordered_map<std::uint64_t, Waiter*> calls_;
    bool ended_ = false;
    std::string endReason_;
    bool someoneReads_ = false;
    bool eventThreadWaits_ = false; // in epoll_wait on poller_
    bool armed_ = false;            // the socket is in poller_
    std::condition_variable keeperWake_;

    mutable std::mutex eventsMutex_; // guards the event queue and the event thread's state
    std::condition_variable eventThreadFinished_;
    std::deque<QueuedEvent> events_;
    bool eventsEnded_ = false;
    bool eventThreadDone_ = false;
    std::thread::id eventThreadId_;

    std::mutex threadsMutex_; // guards the two threads against two joiners
    std::thread keeper_;
    std::thread eventThread_;
};

} // namespace halvora::adapter::remote
