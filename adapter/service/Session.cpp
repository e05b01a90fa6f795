#include "service/Session.h"

#include "core/RequestMap.h"
#include "core/Requests.h"
#include "service/Service.h"

#include <msgpack.hpp>

#include <cstring>
#include <iostream>
#include <utility>

namespace halvora::adapter::service {

namespace {

// A peer that does not read what is sent to it must not grow the service
// without bound.
constexpr std::size_t maxOutboundBytes = 64u << 20;

} // namespace

Session::Session(Service& service, asio::local::stream_protocol::socket socket, pid_t pid)
    : service_(service), socket_(std::move(socket)), pid_(pid), readStall_(service.io()), writeStall_(service.io()),
      heartbeat_(service.io())
{}

void Session::start()
{
    readMore();
    beatWhenIdle();
}

// The adapter treats a service it has not heard from for a while as gone,
// so an idle peer gets a heartbeat.
void Session::beatWhenIdle()
{
    heartbeat_.expires_after(wire::heartbeatInterval);
    heartbeat_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (error || self->dropped_)
            return;
        if (!self->sentSinceBeat_ && !self->writing_)
            self->sendNow(wire::encode(wire::heartbeat()));
        self->sentSinceBeat_ = false;
        self->beatWhenIdle();
    });
}

void Session::readMore()
{
    socket_.async_read_some(asio::buffer(readBuffer_),
                            [self = shared_from_this()](const asio::error_code& error, std::size_t length) {
                                self->onRead(error, length);
                            });
}

void Session::onRead(const asio::error_code& error, std::size_t length)
{
    if (dropped_)
        return;
    if (error) {
        drop(error == asio::error::eof ? std::string() : "reading failed: " + error.message());
        return;
    }
    reader_.append(readBuffer_.data(), length);
    try {
        wire::Message message;
        while (reader_.next(message))
            receive(std::move(message));
    } catch (const wire::FrameError& e) {
        drop(e.what());
        return;
    }
    if (dropped_)
        return;
    // Timed from the first byte of a frame, so trickling bytes cannot keep
    // a frame open for ever.
    if (!reader_.partial() && readStallArmed_) {
        readStall_.cancel();
        readStallArmed_ = false;
    } else if (reader_.partial() && !readStallArmed_) {
        readStallArmed_ = true;
        armStallTimer(readStall_, "in the middle of a frame");
    }
    readMore();
}

void Session::receive(wire::Message message)
{
    switch (message.kind) {
    case wire::Kind::Request:
        service_.workers().submit([self = shared_from_this(), message = std::move(message)] { self->serve(message); });
        return;
    case wire::Kind::EventReply: {
        ReplyHandler onReply;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            const auto found = awaitingReply_.find(message.id);
            if (found == awaitingReply_.end())
                return; // an event that needed no reply, or one already failed
            onReply = std::move(found->second);
            awaitingReply_.erase(found);
        }
        onReply(std::move(message.result));
        return;
    }
    case wire::Kind::Heartbeat:
        return; // its arrival is all it says
    case wire::Kind::Response:
    case wire::Kind::Event:
        throw wire::FrameError("the peer sent a frame that only the service sends");
    }
}

void Session::serve(const wire::Message& message)
{
    const std::uint64_t id = message.id;
    const bool disconnecting = message.op == "disconnect";
    Completion done = [self = shared_from_this(), id, disconnecting](Result result) {
        self->send(wire::response(wire::Kind::Response, id, std::move(result)));
        if (disconnecting)
            self->close({});
    };
    try {
        serveRequest(message, done);
    } catch (const std::exception& e) {
        done(Result::error(std::string("the runtime service failed: ") + e.what()));
    }
}

void Session::serveRequest(const wire::Message& message, Completion done)
{
    RuntimeCore& core = service_.core();
    const std::uint8_t* data = message.bytes.empty() ? nullptr : message.bytes.data();
    if (message.op == "connect") {
        if (service_.stopping()) {
            done(Result::error("the runtime service is shutting down"));
            return;
        }
        ConnectRequest connect;
        try {
            connect = readConnectRequest(data, message.bytes.size());
        } catch (const RequestError& e) {
            done(Result::error(e.what()));
            return;
        }
        const std::uint64_t handle = core.reserveHandle();
        std::uint64_t none = 0;
        if (!handle_.compare_exchange_strong(none, handle)) {
            done(Result::error("this connection has connected its runtime already"));
            return;
        }
        service_.registerPeer(handle, pid_);
        core.attach(handle, std::move(connect.identity), shared_from_this());
        bool gone = false;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            gone = socketClosed_;
        }
        if (gone) { // dropped while attaching: nobody else will detach it
            service_.forgetPeer(handle);
            core.detach(handle);
        }
        done(Result::ofNumber(handle));
        return;
    }

    const std::uint64_t handle = handle_.load();
    if (handle == 0) {
        done(Result::error("the runtime is not connected; connect comes first"));
        return;
    }
    if (message.op == "disconnect") {
        service_.forgetPeer(handle);
        done(core.detach(handle) ? Result::null() : Result::error("the runtime handle is not connected"));
        return;
    }
    const RequestContext context{CallerContext{service_.callerFor(message.caller, pid_)}, handle};
    adapter::serveRequest(core, message.op, data, message.bytes.size(), context, std::move(done));
}

void Session::send(const wire::Message& message)
{
    std::vector<std::uint8_t> frame;
    try {
        frame = wire::encode(message);
    } catch (const wire::FrameError& e) {
        frame = wire::encode(wire::response(message.kind, message.id, Result::error(e.what())));
    }
    sendNow(std::move(frame));
}

void Session::sendNow(std::vector<std::uint8_t> frame)
{
    bool overflow = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (socketClosed_)
            return;
        overflow = outboundBytes_ + frame.size() > maxOutboundBytes;
        if (!overflow) {
            outboundBytes_ += frame.size();
            outbound_.push_back(std::move(frame));
        }
    }
    auto self = shared_from_this();
    if (overflow)
        asio::post(service_.io(), [self] { self->drop("the peer does not take what is sent to it"); });
    else
        asio::post(service_.io(), [self] { self->writeNext(); });
}

bool Session::deliver(Event event, ReplyHandler onReply)
{
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (closing_ || socketClosed_)
            return false;
        id = nextEventId_++;
        if (onReply)
            awaitingReply_.emplace(id, std::move(onReply));
    }
    send(wire::event(id, encodeEvent(event)));
    return true;
}

void Session::close(std::vector<std::uint8_t> lastEvent)
{
    std::map<std::uint64_t, ReplyHandler> unanswered;
    std::uint64_t lastId = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (closing_)
            return;
        closing_ = true;
        flushThenEnd_ = true;
        unanswered.swap(awaitingReply_);
        lastId = nextEventId_++;
    }
    if (!lastEvent.empty())
        send(wire::event(lastId, std::move(lastEvent)));
    asio::post(service_.io(), [self = shared_from_this()] { self->writeNext(); });
    for (auto& entry : unanswered)
        entry.second(Result::error("the runtime disconnected before it answered the message"));
}

void Session::writeNext()
{
    if (writing_ || dropped_)
        return;
    bool end = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (outbound_.empty()) {
            end = flushThenEnd_;
        } else {
            inFlight_ = std::move(outbound_.front());
            outbound_.pop_front();
            outboundBytes_ -= inFlight_.size();
        }
    }
    if (end) {
        drop({});
        return;
    }
    if (inFlight_.empty())
        return;
    writing_ = true;
    sentSinceBeat_ = true;
    armStallTimer(writeStall_, "taking what is sent to it");
    asio::async_write(
        socket_, asio::buffer(inFlight_), [self = shared_from_this()](const asio::error_code& error, std::size_t) {
            self->writing_ = false;
            self->inFlight_.clear();
            self->writeStall_.cancel();
            if (error)
                self->drop(error == asio::error::operation_aborted ? std::string()
                                                                   : "writing failed: " + error.message());
            else
                self->writeNext();
        });
}

void Session::armStallTimer(asio::steady_timer& timer, const char* what)
{
    timer.expires_after(service_.options().stallLimit);
    timer.async_wait([self = shared_from_this(), what](const asio::error_code& error) {
        if (!error)
            self->drop(std::string("the peer stalled ") + what);
    });
}

void Session::drop(const std::string& reason)
{
    if (dropped_)
        return;
    dropped_ = true;
    if (!reason.empty())
        std::cerr << "halvora-runtime: dropping a peer (pid " << pid_ << "): " << reason << std::endl;
    readStall_.cancel();
    writeStall_.cancel();
    heartbeat_.cancel();
    asio::error_code ignored;
    socket_.shutdown(asio::local::stream_protocol::socket::shutdown_both, ignored);
    socket_.close(ignored);
    markSocketClosed();
    const std::uint64_t handle = handle_.load();
    if (handle != 0) {
        service_.forgetPeer(handle);
        service_.core().detach(handle);
    }
    close({});
}

void Session::markSocketClosed()
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        socketClosed_ = true;
        outbound_.clear();
        outboundBytes_ = 0;
    }
    stateChanged_.notify_all();
}

void Session::waitClosed()
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    stateChanged_.wait(lock, [this] { return socketClosed_; });
}

bool Session::waitClosedFor(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(stateMutex_);
    return stateChanged_.wait_for(lock, limit, [this] { return socketClosed_; });
}

} // namespace halvora::adapter::service
