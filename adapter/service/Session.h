// One peer of the runtime service: reads its frames, serves its requests on
// the worker pool and carries the core's events to it.
#pragma once

#include "core/Completion.h"
#include "core/Connection.h"
#include "wire/Frames.h"

#include <asio.hpp>

#include <sys/types.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace halvora::adapter::service {

class Service;

class Session final : public Connection, public std::enable_shared_from_this<Session> {
public:
    Session(Service& service, asio::local::stream_protocol::socket socket, pid_t pid);

    // On the io thread.
    void start();

    bool deliver(Event event, ReplyHandler onReply) override;
    void close(std::vector<std::uint8_t> lastEvent) override;
    void waitClosed() override;
    bool waitClosedFor(std::chrono::milliseconds limit) override;

private:
    void readMore();
    void onRead(const asio::error_code& error, std::size_t length);
    void receive(wire::Message message);
    void serve(const wire::Message& message);
    void serveRequest(const wire::Message& message, Completion done);
    void send(const wire::Message& message);
    void sendNow(std::vector<std::uint8_t> frame);
    void writeNext();
    void beatWhenIdle();
    void armStallTimer(asio::steady_timer& timer, const char* what);
    void drop(const std::string& reason);
    void markSocketClosed();

    Service& service_;
    asio::local::stream_protocol::socket socket_;
    const pid_t pid_;
    std::atomic<std::uint64_t> handle_{0};

    // Touched on the io thread only.
    std::array<std::uint8_t, std::size_t{64} * 1024> readBuffer_{};
    wire::FrameReader reader_;
    asio::steady_timer readStall_;
    asio::steady_timer writeStall_;
    asio::steady_timer heartbeat_;
    bool sentSinceBeat_ = false;
    bool readStallArmed_ = false;
    bool writing_ = false;
    bool dropped_ = false;
    std::vector<std::uint8_t> inFlight_;

    std::mutex stateMutex_; // guards every member below
    std::condition_variable stateChanged_;
    bool closing_ = false;      // takes no more events
    bool flushThenEnd_ = false; // ends the socket once the outbound queue is empty
    bool socketClosed_ = false;
    std::uint64_t nextEventId_ = 1;
    std::map<std::uint64_t, ReplyHandler> awaitingReply_;
    std::deque<std::vector<std::uint8_t>> outbound_;
    std::size_t outboundBytes_ = 0;
};

} // namespace halvora::adapter::service
