// The cross-process transport: one runtime of this process connected to a
// runtime service through its own socket. A reader thread takes the
// service's frames; an event thread hands events to the runtime in order,
// so a handler that makes a call never stops replies from arriving.
#pragma once

#include "NativeAdapter.h"
#include "core/Result.h"
#include "wire/Frames.h"

#include <asio.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
    Result open(const std::uint8_t* request, std::uint64_t length);

    // One request to the service; waits for its answer or for the
    // connection to end (then an error).
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

private:
    struct QueuedEvent {
        std::vector<std::uint8_t> bytes;
        std::uint64_t id = 0;
        bool needsReply = true;
    };

    void readLoop();
    void eventLoop();
    void onFrame(wire::Message message);
    bool write(const wire::Message& message);
    void lost(const std::string& why);
    void shutdownSocket();

    const std::string socketPath_;
    const HalvoraEventCallback onEvent_;
    const HalvoraReleaseCallback releaseReply_;
    void* const runtime_;

    asio::io_context context_;
    asio::local::stream_protocol::socket socket_;
    std::uint64_t serviceHandle_ = 0; // set by open() before any event can run

    std::mutex writeMutex_; // serialises whole frames on the socket

    mutable std::mutex callsMutex_; // guards every member below up to the threads
    std::condition_variable callsChanged_;
    std::uint64_t nextCallId_ = 1;
    std::map<std::uint64_t, std::optional<Result>> calls_;
    bool ended_ = false;
    bool quiet_ = false; // ended on purpose: no "AdapterDisconnected"
    std::string endReason_;
    std::deque<QueuedEvent> events_;
    bool eventsEnded_ = false;
    bool eventThreadDone_ = false;

    std::mutex threadsMutex_; // guards the two threads against two joiners
    std::thread reader_;
    std::thread eventThread_;
    std::thread::id eventThreadId_; // under callsMutex_
    std::atomic<bool> readerStarted_{false};
};

} // namespace halvora::adapter::remote
