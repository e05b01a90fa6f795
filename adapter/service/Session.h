// One peer of the runtime service: reads its frames, serves its requests on
// the routing core and carries the core's events and answers to it.
//
// A session lives on the service's one io thread: the core calls it from
// there too, since every request is served there and nothing in the core
// blocks. Nothing here takes a lock.
#pragma once

#include "core/Completion.h"
#include "core/Connection.h"
#include "wire/Frames.h"

#include <asio.hpp>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace halvora::adapter::service {

class Service;

// How much the service holds for one peer before it drops that peer.
struct PeerBounds {
    std::size_t queuedBytes = std::size_t{64} << 20; // frames waiting to be written to it
    std::size_t unanswered = 16384;                  // events it has not answered yet
};

class Session final : public Connection, public std::enable_shared_from_this<Session> {
public:
    using Clock = std::chrono::steady_clock;

    Session(Service& service, asio::local::stream_protocol::socket socket, pid_t pid);

    void start();
    // Ends the session at once, as if the peer had gone. `reason` starts
    // with its kind (stall, heartbeat, bound, bad frame); empty when the
    // peer simply went away.
    void drop(const std::string& reason);
    std::uint64_t handle() const { return handle_; }

    bool deliver(Event event, ReplyHandler onReply) override;
    void close(std::vector<std::uint8_t> lastEvent) override;
    // Sessions end on the io thread; nothing waits for one.
    void waitClosed() override {}
    bool waitClosedFor(std::chrono::milliseconds) override { return true; }

private:
    void failUnanswered();

    // One frame to write: whole in `frame`; or `frame` as its head, then a
    // body written from where it lies (an event's bytes or an answer's text,
    // held here until written) and `tail`; or, while `frame` is empty, an
    // event encoded when its turn comes, off the routing lock.
    struct Outgoing {
        std::vector<std::uint8_t> frame;
        std::uint64_t eventId = 0;
        Event event;
        const std::uint8_t* body = nullptr;
        std::size_t bodyLength = 0;
        std::vector<std::uint8_t> tail;
        std::vector<std::uint8_t> eventBytes; // the body of an event whose payload has no room for it
        Result answer;                        // the body of an answer

        static Outgoing whole(std::vector<std::uint8_t> frame)
        {
            Outgoing outgoing;
            outgoing.frame = std::move(frame);
            return outgoing;
        }
        std::size_t size() const { return frame.size() + bodyLength + tail.size(); }
        void take(wire::FramePieces pieces);
    };
    static Outgoing answerFrame(std::uint64_t id, Result result);

    void readMore();
    void onRead(const asio::error_code& error, std::size_t length);
    void receive(wire::Message& message);
    void serve(wire::Message& message);
    void connect(const wire::Message& message, Completion& done);
    void answer(std::uint64_t id, Result result);
    void queue(Outgoing outgoing, std::size_t bytes);
    void scheduleWrite();
    void writeNext();
    void watch();
    void onWatch();
    std::string describe() const; // for the log

    Service& service_;
    asio::local::stream_protocol::socket socket_;
    const pid_t pid_;
    std::uint64_t handle_ = 0;
    std::string uuid_; // of the connected runtime

    wire::FrameReader reader_;
    asio::steady_timer watch_; // heartbeats, silence, stalled writes and frames
    bool heartbeats_ = true;
    Clock::time_point lastHeard_;
    Clock::time_point lastSent_;
    Clock::time_point partialSince_;
    Clock::time_point writeStarted_;

    bool writing_ = false;
    bool writeScheduled_ = false;
    bool closing_ = false;      // takes no more events
    bool flushThenEnd_ = false; // ends the socket once the outbound queue is empty
    bool dropped_ = false;
    std::uint64_t nextEventId_ = 1;
    std::unordered_map<std::uint64_t, ReplyHandler> awaitingReply_;
    std::deque<Outgoing> outbound_;
    std::size_t outboundBytes_ = 0;
    std::vector<Outgoing> inFlight_;
    std::vector<asio::const_buffer> inFlightBuffers_;
};

} // namespace halvora::adapter::service
