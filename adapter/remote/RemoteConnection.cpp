#include "remote/RemoteConnection.h"

#include "core/Events.h"
#include "embedded/EmbeddedConnection.h"
#include "wire/SocketPath.h"

#include <sys/socket.h>

#include <array>
#include <utility>

namespace halvora::adapter::remote {

namespace {

// The connection whose event thread runs here, so that a call made from a
// handler tells the service which event thread waits.
thread_local std::uint64_t eventThreadServiceHandle = 0;
thread_local const std::string* eventThreadSocket = nullptr;

constexpr const char* lostMessage = "the runtime service closed the connection";

} // namespace

RemoteConnection::RemoteConnection(std::string socketPath, HalvoraEventCallback onEvent,
                                   HalvoraReleaseCallback releaseReply, void* runtime)
    : socketPath_(std::move(socketPath)), onEvent_(onEvent), releaseReply_(releaseReply), runtime_(runtime),
      socket_(context_)
{}

RemoteConnection::~RemoteConnection()
{
    end(false);
    std::lock_guard<std::mutex> lock(threadsMutex_);
    if (reader_.joinable())
        reader_.join();
    if (eventThread_.joinable()) {
        if (eventThread_.get_id() == std::this_thread::get_id())
            eventThread_.detach(); // the last owner let go inside a handler; the thread ends right after
        else
            eventThread_.join();
    }
}

Result RemoteConnection::open(const std::uint8_t* request, std::uint64_t length)
{
    try {
        wire::checkPrivateDirectory(wire::directoryOf(socketPath_));
    } catch (const std::exception& e) {
        return Result::error(std::string("will not connect to the runtime service: ") + e.what());
    }
    asio::error_code error;
    socket_.connect(asio::local::stream_protocol::endpoint(socketPath_), error);
    if (error)
        return Result::error("no runtime service answers at '" + socketPath_ + "': " + error.message() +
                             " (start it with halvora-runtime)");
    try {
        reader_ = std::thread([this] { readLoop(); });
        readerStarted_.store(true);
    } catch (const std::system_error& e) {
        return Result::error(std::string("cannot start the connection's reader thread: ") + e.what());
    }
    const Result connected = call("connect", request, length);
    if (connected.isError() || connected.kind != Result::Kind::Number) {
        end(false);
        return connected.isError() ? connected : Result::error("the runtime service answered connect oddly");
    }
    serviceHandle_ = connected.number;
    try {
        std::lock_guard<std::mutex> lock(callsMutex_);
        eventThread_ = std::thread([this] { eventLoop(); });
        eventThreadId_ = eventThread_.get_id();
    } catch (const std::system_error& e) {
        end(false);
        return Result::error(std::string("cannot start the connection's event thread: ") + e.what());
    }
    return Result::null();
}

Result RemoteConnection::call(const char* op, const std::uint8_t* request, std::uint64_t length)
{
    if (length > wire::maxFrameBytes - 64)
        return Result::error("the request is larger than the runtime service takes");
    const std::uint64_t caller =
        eventThreadSocket != nullptr && *eventThreadSocket == socketPath_ ? eventThreadServiceHandle : 0;
    std::uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        if (ended_)
            return Result::error(endReason_);
        id = nextCallId_++;
        calls_.emplace(id, std::nullopt);
    }
    if (!write(wire::request(id, op, request, static_cast<std::size_t>(length), caller)))
        lost("writing to the runtime service failed");
    std::unique_lock<std::mutex> lock(callsMutex_);
    callsChanged_.wait(lock, [&] { return ended_ || calls_.at(id).has_value(); });
    const auto found = calls_.find(id);
    Result result = found->second ? std::move(*found->second) : Result::error(endReason_);
    calls_.erase(found);
    return result;
}

void RemoteConnection::disconnect()
{
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        quiet_ = true;
    }
    call("disconnect", nullptr, 0);
    end(false);
}

void RemoteConnection::end(bool announce)
{
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        if (!announce)
            quiet_ = true;
    }
    shutdownSocket();           // the reader sees the end and finishes the rest
    if (!readerStarted_.load()) // nobody else will
        lost("the connection to the runtime service was closed");
}

bool RemoteConnection::joinFor(std::chrono::milliseconds limit)
{
    std::lock_guard<std::mutex> threads(threadsMutex_);
    if (reader_.joinable())
        reader_.join(); // ends promptly once the socket is shut down
    if (!eventThread_.joinable())
        return true;
    if (eventThread_.get_id() == std::this_thread::get_id())
        return false;
    {
        std::unique_lock<std::mutex> lock(callsMutex_);
        if (!callsChanged_.wait_for(lock, limit, [this] { return eventThreadDone_; }))
            return false;
    }
    eventThread_.join();
    return true;
}

bool RemoteConnection::finished() const
{
    std::lock_guard<std::mutex> lock(callsMutex_);
    return eventThreadDone_ || eventThreadId_ == std::thread::id();
}

void RemoteConnection::shutdownSocket()
{
    // Shut down, not closed: the reader still owns the descriptor and wakes.
    ::shutdown(socket_.native_handle(), SHUT_RDWR);
}

bool RemoteConnection::write(const wire::Message& message)
{
    std::vector<std::uint8_t> frame;
    try {
        frame = wire::encode(message);
    } catch (const wire::FrameError&) {
        return false;
    }
    std::lock_guard<std::mutex> lock(writeMutex_);
    asio::error_code error;
    asio::write(socket_, asio::buffer(frame), error);
    return !error;
}

void RemoteConnection::readLoop()
{
    wire::FrameReader reader;
    std::array<std::uint8_t, std::size_t{64} * 1024> buffer{};
    std::string why = lostMessage;
    for (;;) {
        asio::error_code error;
        const std::size_t length = socket_.read_some(asio::buffer(buffer), error);
        if (error)
            break;
        reader.append(buffer.data(), length);
        try {
            wire::Message message;
            while (reader.next(message))
                onFrame(std::move(message));
        } catch (const wire::FrameError& e) {
            why = std::string("the runtime service sent a broken frame: ") + e.what();
            shutdownSocket();
            break;
        }
    }
    lost(why);
}

void RemoteConnection::onFrame(wire::Message message)
{
    switch (message.kind) {
    case wire::Kind::Response: {
        {
            std::lock_guard<std::mutex> lock(callsMutex_);
            const auto found = calls_.find(message.id);
            if (found == calls_.end())
                return;
            found->second = std::move(message.result);
        }
        callsChanged_.notify_all();
        return;
    }
    case wire::Kind::Event: {
        {
            std::lock_guard<std::mutex> lock(callsMutex_);
            if (eventsEnded_)
                return;
            events_.push_back(QueuedEvent{std::move(message.bytes), message.id, true});
        }
        callsChanged_.notify_all();
        return;
    }
    case wire::Kind::Heartbeat:
        return;
    case wire::Kind::Request:
    case wire::Kind::EventReply:
        throw wire::FrameError("the service sent a frame that only an adapter sends");
    }
}

// Runs once, when the reader stops: every waiting call fails, and the
// runtime hears "AdapterDisconnected" after the events that came before,
// unless this side ended the connection on purpose.
void RemoteConnection::lost(const std::string& why)
{
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        if (eventsEnded_)
            return;
        ended_ = true;
        endReason_ = why;
        eventsEnded_ = true;
        if (quiet_)
            events_.clear();
        else
            events_.push_back(
                QueuedEvent{encodeEvent(Event{event_type::adapterDisconnected, {}, {}, {}, {}}), 0, false});
    }
    callsChanged_.notify_all();
}

void RemoteConnection::eventLoop()
{
    eventThreadServiceHandle = serviceHandle_;
    eventThreadSocket = &socketPath_;
    for (;;) {
        QueuedEvent event;
        {
            std::unique_lock<std::mutex> lock(callsMutex_);
            callsChanged_.wait(lock, [this] { return eventsEnded_ || !events_.empty(); });
            if (events_.empty())
                break;
            event = std::move(events_.front());
            events_.pop_front();
        }
        Result reply = embedded::deliverToRuntime(onEvent_, releaseReply_, runtime_, event.bytes);
        if (event.needsReply)
            write(wire::response(wire::Kind::EventReply, event.id, std::move(reply)));
    }
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        eventThreadDone_ = true;
    }
    callsChanged_.notify_all();
}

} // namespace halvora::adapter::remote
