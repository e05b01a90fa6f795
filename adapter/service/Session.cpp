#include "service/Session.h"

#include "core/RequestMap.h"
#include "core/Requests.h"
#include "service/Log.h"
#include "service/Service.h"

#include <algorithm>
#include <utility>

namespace halvora::adapter::service {

namespace {

// The most that one write hands the socket, so a slow reader's progress is seen.
constexpr std::size_t writeChunk = std::size_t{1} << 20;
// Frames gathered into one write.
constexpr std::size_t writeBatch = 64;

// What an event holds in the queue before it is encoded.
std::size_t sizeOf(const Event& event)
{
    const Endpoint& e = endpointOf(event);
    return 64 + event.type.size() + e.uuid.size() + e.name.size() + e.channelName.size() + e.channelId.size() +
           e.endpointId.size() + event.channelName.size() + event.topic.size() +
           (event.payload ? event.payload->packedSize() : 0);
}

// Answers from this size on are written from where their text lies rather
// than copied into their frame; smaller ones are cheaper to copy than to
// gather.
constexpr std::size_t gatheredAnswer = 4096;

// A peer that closed its end has simply gone; no log line for that.
bool gone(const asio::error_code& error)
{
    return error == asio::error::eof || error == asio::error::connection_reset || error == asio::error::broken_pipe ||
           error == asio::error::operation_aborted;
}

std::string seconds(std::chrono::milliseconds limit)
{
    return std::to_string(limit.count() / 1000) + " s";
}

} // namespace

Session::Session(Service& service, asio::local::stream_protocol::socket socket, pid_t pid)
    : service_(service), socket_(std::move(socket)), pid_(pid), watch_(service.io())
{}

void Session::start()
{
    lastHeard_ = lastSent_ = Clock::now();
    readMore();
    watch();
}

void Session::readMore()
{
    const std::size_t want = reader_.readRoom();
    socket_.async_read_some(asio::buffer(reader_.space(want), want),
                            [self = shared_from_this()](const asio::error_code& error, std::size_t length) {
                                self->onRead(error, length);
                            });
}

void Session::onRead(const asio::error_code& error, std::size_t length)
{
    if (dropped_)
        return;
    if (error) {
        drop(gone(error) ? std::string() : "reading failed: " + error.message());
        return;
    }
    reader_.commit(length);
    lastHeard_ = Clock::now();
    bool completed = false;
    const bool wasPartial = partialSince_ != Clock::time_point();
    try {
        wire::Message message;
        while (!dropped_ && reader_.next(message)) {
            completed = true;
            receive(message);
        }
    } catch (const wire::FrameError& e) {
        drop(std::string("bad frame: ") + e.what());
        return;
    }
    if (dropped_)
        return;
    // Timed from the first byte of a frame, so trickling bytes cannot keep
    // a frame open for ever.
    if (!reader_.partial())
        partialSince_ = {};
    else if (completed || !wasPartial)
        partialSince_ = lastHeard_;
    readMore();
}

void Session::receive(wire::Message& message)
{
    switch (message.kind) {
    case wire::Kind::Request:
        serve(message);
        return;
    case wire::Kind::EventReply: {
        const auto found = awaitingReply_.find(message.id);
        if (found == awaitingReply_.end())
            return; // an event that needed no reply, or one already failed
        ReplyHandler onReply = std::move(found->second);
        awaitingReply_.erase(found);
        onReply(std::move(message.result));
        return;
    }
    case wire::Kind::Heartbeat:
        return; // heard: that is all it says
    case wire::Kind::Response:
    case wire::Kind::Event:
        break;
    }
    throw wire::FrameError("the peer sent a frame that only the service sends");
}

// Served at once: the core leaves what waits as a record, and the
// completion writes the response whenever it comes.
void Session::serve(wire::Message& message)
{
    const std::uint64_t id = message.id;
    const bool disconnecting = message.op == "disconnect";
    Completion done = [self = shared_from_this(), id, disconnecting](Result result) {
        self->answer(id, std::move(result));
        if (disconnecting)
            self->close({});
    };
    try {
        if (message.op == "status") {
            done(Result::ofText(service_.statusJson())); // needs no connected runtime
        } else if (message.op == "connect") {
            connect(message, done);
        } else if (handle_ == 0) {
            done(Result::error("the runtime is not connected; connect comes first"));
        } else if (disconnecting) {
            logLine(LogLevel::Info, describe() + " disconnected");
            service_.forgetPeer(handle_);
            done(service_.core().detach(handle_) ? Result::null()
                                                 : Result::error("the runtime handle is not connected"));
        } else {
            const RequestContext context{CallerContext{service_.callerFor(message.caller, pid_)}, handle_};
            const std::uint8_t* data = message.bytes.empty() ? nullptr : message.bytes.data();
            serveRequest(service_.core(), message.op, data, message.bytes.size(), context, std::move(done));
        }
    } catch (const std::exception& e) {
        if (done)
            done(Result::error(std::string("the runtime service failed: ") + e.what()));
    }
}

void Session::connect(const wire::Message& message, Completion& done)
{
    if (service_.stopping()) {
        done(Result::error("the runtime service is shutting down"));
        return;
    }
    if (handle_ != 0) {
        done(Result::error("this connection has connected its runtime already"));
        return;
    }
    ConnectRequest request;
    try {
        request = readConnectRequest(message.bytes.empty() ? nullptr : message.bytes.data(), message.bytes.size());
    } catch (const RequestError& e) {
        done(Result::error(e.what()));
        return;
    }
    handle_ = service_.core().reserveHandle();
    heartbeats_ = !request.disableHeartbeating;
    uuid_ = request.identity.uuid;
    service_.registerPeer(handle_, pid_);
    logLine(LogLevel::Info, describe() + " connected");
    service_.core().attach(handle_, std::move(request.identity), shared_from_this());
    done(Result::ofNumber(handle_));
}

void Session::Outgoing::take(wire::FramePieces pieces)
{
    frame = std::move(pieces.head);
    body = pieces.body;
    bodyLength = pieces.bodyLength;
    tail = std::move(pieces.tail);
}

// A large answer keeps its result, whose text the frame's body points into;
// that text stays where it is when the result is moved.
Session::Outgoing Session::answerFrame(std::uint64_t id, Result result)
{
    Outgoing outgoing;
    if (result.textView().size() < gatheredAnswer) {
        return Outgoing::whole(wire::encodeAnswer(wire::Kind::Response, id, result));
    }
    outgoing.answer = std::move(result);
    outgoing.take(wire::answerPieces(wire::Kind::Response, id, outgoing.answer));
    return outgoing;
}

// A response over the frame bound becomes an error that names the bound, so
// the caller hears at once and the connection carries on.
void Session::answer(std::uint64_t id, Result result)
{
    if (dropped_ || flushThenEnd_)
        return;
    Outgoing outgoing;
    try {
        outgoing = answerFrame(id, std::move(result));
    } catch (const wire::FrameError& e) {
        outgoing = answerFrame(id, Result::error(e.what()));
    }
    const std::size_t bytes = outgoing.size();
    queue(std::move(outgoing), bytes);
}

// Called by the core under its routing lock: queue and schedule only.
bool Session::deliver(Event event, ReplyHandler onReply)
{
    if (closing_ || dropped_)
        return false;
    if (onReply && awaitingReply_.size() >= service_.options().bounds.unanswered) {
        auto self = shared_from_this();
        asio::post(service_.io(), [self] {
            self->drop("bound: it left " + std::to_string(self->service_.options().bounds.unanswered) +
                       " events unanswered");
        });
        return false;
    }
    const std::uint64_t id = nextEventId_++;
    if (onReply)
        awaitingReply_.emplace(id, std::move(onReply));
    const std::size_t bytes = sizeOf(event);
    Outgoing outgoing;
    outgoing.eventId = id;
    outgoing.event = std::move(event);
    queue(std::move(outgoing), bytes);
    return true;
}

void Session::queue(Outgoing outgoing, std::size_t bytes)
{
    if (outboundBytes_ + bytes > service_.options().bounds.queuedBytes) {
        if (!closing_) {
            closing_ = true; // nothing more is taken; the drop follows off the caller's stack
            auto self = shared_from_this();
            asio::post(service_.io(), [self] {
                self->drop("bound: it does not take what is sent to it (" +
                           std::to_string(self->service_.options().bounds.queuedBytes >> 20) + " MiB queued)");
            });
        }
        return;
    }
    outboundBytes_ += bytes;
    outbound_.push_back(std::move(outgoing));
    scheduleWrite();
}

// Whoever waits for a reply to an event of this peer hears that none will come.
void Session::failUnanswered()
{
    auto unanswered = std::exchange(awaitingReply_, {});
    for (auto& entry : unanswered)
        entry.second(Result::error("the runtime disconnected before it answered the message"));
}

void Session::close(std::vector<std::uint8_t> lastEvent)
{
    if (flushThenEnd_) // closing or closed already; a drop sets it too
        return;
    closing_ = true;
    flushThenEnd_ = true;
    if (!lastEvent.empty()) {
        try {
            outbound_.push_back(Outgoing::whole(wire::encode(wire::event(nextEventId_++, std::move(lastEvent)))));
        } catch (const wire::FrameError&) {
        }
    }
    scheduleWrite();
    failUnanswered();
}

// Writes start from the io loop, never inside the core's or a completion's
// call, so a write never runs under the routing lock.
void Session::scheduleWrite()
{
    if (writeScheduled_ || writing_ || dropped_)
        return;
    writeScheduled_ = true;
    asio::post(service_.io(), [self = shared_from_this()] {
        self->writeScheduled_ = false;
        self->writeNext();
    });
}

void Session::writeNext()
{
    if (writing_ || dropped_)
        return;
    std::vector<std::pair<ReplyHandler, std::string>> oversized;
    inFlight_.clear();
    inFlightBuffers_.clear();
    while (!outbound_.empty() && inFlight_.size() < writeBatch) {
        Outgoing next = std::move(outbound_.front());
        outbound_.pop_front();
        if (next.frame.empty()) {
            outboundBytes_ -= std::min(outboundBytes_, sizeOf(next.event));
            try {
                // The event's bytes are its frame's body, not copied into it;
                // they lie in the event's payload or in eventBytes.
                const EventBytes bytes = EventBytes::of(next.event, next.eventBytes);
                next.take(wire::eventPieces(next.eventId, bytes.data, bytes.size));
            } catch (const wire::FrameError& e) {
                // Over the frame bound: the one waiting for it hears why.
                const auto found = awaitingReply_.find(next.eventId);
                if (found != awaitingReply_.end()) {
                    oversized.emplace_back(std::move(found->second), e.what());
                    awaitingReply_.erase(found);
                }
                continue;
            }
        } else {
            outboundBytes_ -= std::min(outboundBytes_, next.size());
        }
        inFlight_.push_back(std::move(next));
    }
    for (auto& entry : oversized)
        entry.first(Result::error("the message was not delivered: " + entry.second));
    if (inFlight_.empty()) {
        if (flushThenEnd_ && outbound_.empty())
            drop({});
        return;
    }
    for (const Outgoing& frame : inFlight_) {
        inFlightBuffers_.push_back(asio::buffer(frame.frame));
        if (frame.bodyLength != 0)
            inFlightBuffers_.push_back(asio::buffer(frame.body, frame.bodyLength));
        if (!frame.tail.empty())
            inFlightBuffers_.push_back(asio::buffer(frame.tail));
    }
    writing_ = true;
    writeStarted_ = lastSent_ = Clock::now();
    // The stall limit runs from the last progress, so a slow reader that
    // keeps taking bytes is not taken for a stopped one.
    const auto progress = [self = shared_from_this()](const asio::error_code& error, std::size_t) -> std::size_t {
        self->writeStarted_ = Clock::now();
        return error ? 0 : writeChunk;
    };
    asio::async_write(socket_, inFlightBuffers_, progress,
                      [self = shared_from_this()](const asio::error_code& error, std::size_t) {
                          self->writing_ = false;
                          self->lastSent_ = Clock::now();
                          if (error) {
                              self->drop(gone(error) ? std::string() : "writing failed: " + error.message());
                              return;
                          }
                          self->writeNext();
                      });
}

// One timer per peer watches everything that has a time limit, re-armed at
// the earliest deadline.
void Session::watch()
{
    const auto now = Clock::now();
    auto next = now + wire::heartbeatInterval;
    if (heartbeats_) {
        next = std::min(next, lastSent_ + wire::heartbeatInterval);
        next = std::min(next, lastHeard_ + wire::silenceLimit);
    }
    if (partialSince_ != Clock::time_point())
        next = std::min(next, partialSince_ + service_.options().stallLimit);
    if (writing_)
        next = std::min(next, writeStarted_ + wire::silenceLimit);
    watch_.expires_at(std::max(next, now + std::chrono::milliseconds(10)));
    watch_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error && !self->dropped_)
            self->onWatch();
    });
}

void Session::onWatch()
{
    const auto now = Clock::now();
    const auto limit = wire::silenceLimit;
    if (writing_ && now - writeStarted_ >= limit)
        return drop("stall: it took nothing of what was sent to it for " + seconds(limit));
    if (partialSince_ != Clock::time_point() && now - partialSince_ >= service_.options().stallLimit)
        return drop("stall: it stalled in the middle of a frame");
    if (heartbeats_ && now - lastHeard_ >= limit)
        return drop("heartbeat: it was silent for " + seconds(limit) + "; detached as if its process had died");
    if (heartbeats_ && !writing_ && outbound_.empty() && now - lastSent_ >= wire::heartbeatInterval) {
        static const std::vector<std::uint8_t> beat = wire::encode(wire::heartbeat());
        queue(Outgoing::whole(beat), beat.size());
    }
    watch();
}

std::string Session::describe() const
{
    if (handle_ == 0)
        return "a peer (pid " + std::to_string(pid_) + ")";
    return "runtime " + std::to_string(handle_) + " (pid " + std::to_string(pid_) + ", uuid \"" + uuid_ + "\")";
}

void Session::drop(const std::string& reason)
{
    if (dropped_)
        return;
    if (!reason.empty())
        logLine(LogLevel::Warning, "dropped " + describe() + ": " + reason);
    else if (handle_ != 0 && !closing_) // not disconnected, not told to go by a stopping service
        logLine(LogLevel::Info, describe() + " went away");
    flushThenEnd_ = true;
    closing_ = true;
    dropped_ = true;
    watch_.cancel();
    asio::error_code ignored;
    socket_.shutdown(asio::local::stream_protocol::socket::shutdown_both, ignored);
    socket_.close(ignored);
    outbound_.clear();
    outboundBytes_ = 0;
    if (handle_ != 0) {
        service_.forgetPeer(handle_);
        service_.core().detach(handle_);
    }
    failUnanswered();
    service_.sessionEnded(this);
}

} // namespace halvora::adapter::service
