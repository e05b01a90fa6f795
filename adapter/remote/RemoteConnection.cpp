#include "remote/RemoteConnection.h"

#include "core/Events.h"
#include "embedded/EmbeddedConnection.h"
#include "wire/SocketPath.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace halvora::adapter::remote {

namespace {

// The connection whose event thread runs here, so that a call made from a
// handler tells the service which event thread waits.
thread_local std::uint64_t eventThreadServiceHandle = 0;
thread_local const std::string* eventThreadSocket = nullptr;

// A thread waits for one call at a time, so one waiter per thread serves
// every call it makes.
thread_local RemoteConnection::Waiter callerWaiter;

constexpr const char* lostMessage = "the runtime service closed the connection";
constexpr const char* closedMessage = "the connection to the runtime service was closed";
constexpr std::size_t readChunk = std::size_t{64} * 1024;

void complete(RemoteConnection::Waiter& waiter, Result result)
{
    // Notified under the lock: the caller may return, and reuse the waiter,
    // as soon as it sees the answer.
    std::lock_guard<std::mutex> lock(waiter.mutex);
    waiter.result = std::move(result);
    waiter.answered = true;
    waiter.done.notify_one();
}

int millisecondsUntil(std::chrono::steady_clock::time_point when, std::chrono::steady_clock::time_point now)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 60'000));
}

} // namespace

RemoteConnection::RemoteConnection(std::string socketPath, HalvoraEventCallback onEvent,
                                   HalvoraReleaseCallback releaseReply, void* runtime)
    : socketPath_(std::move(socketPath)), onEvent_(onEvent), releaseReply_(releaseReply), runtime_(runtime)
{}

RemoteConnection::~RemoteConnection()
{
    end(false);
    {
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
    if (fd_ >= 0)
        ::close(fd_);
}

// Connects the socket without blocking on a service that does not accept:
// a full backlog is retried until the silence limit.
Result RemoteConnection::connectSocket()
{
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0)
        return Result::error(std::string("cannot create a socket: ") + std::generic_category().message(errno));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof address.sun_path)
        return Result::error("the runtime service's socket path '" + socketPath_ + "' is too long");
    std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    const auto deadline = Clock::now() + wire::silenceLimit;
    for (;;) {
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            // Reads block for a tick at most; writes never block (MSG_DONTWAIT).
            const int flags = ::fcntl(fd_, F_GETFL);
            const timeval tick{0, 250'000};
            if (::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
                ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick) != 0)
                return Result::error(std::string("cannot set up the socket: ") +
                                     std::generic_category().message(errno));
            return Result::null();
        }
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error != EAGAIN || Clock::now() >= deadline)
            return Result::error("no runtime service answers at '" + socketPath_ +
                                 "': " + std::generic_category().message(error) + " (start it with halvora-runtime)");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Result RemoteConnection::open(const std::uint8_t* request, std::uint64_t length, bool heartbeats)
{
    try {
        wire::checkPrivateDirectory(wire::directoryOf(socketPath_));
    } catch (const std::exception& e) {
        return Result::error(std::string("will not connect to the runtime service: ") + e.what());
    }
    Result connected = connectSocket();
    if (connected.isError())
        return connected;
    heartbeats_ = heartbeats;
    lastSent_.store(Clock::now().time_since_epoch().count());
    try {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        reader_ = std::thread([this] { readLoop(); });
    } catch (const std::system_error& e) {
        lost(closedMessage);
        return Result::error(std::string("cannot start the connection's reader thread: ") + e.what());
    }
    const Result answer = call("connect", request, length);
    if (answer.isError() || answer.kind != Result::Kind::Number) {
        end(false);
        return answer.isError() ? answer : Result::error("the runtime service answered connect oddly");
    }
    serviceHandle_ = answer.number;
    try {
        std::lock_guard<std::mutex> threads(threadsMutex_);
        std::lock_guard<std::mutex> lock(eventsMutex_);
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
    const std::uint64_t caller =
        eventThreadSocket != nullptr && *eventThreadSocket == socketPath_ ? eventThreadServiceHandle : 0;
    const std::uint64_t id = nextCallId_.fetch_add(1);
    wire::FramePieces frame;
    try {
        frame = wire::requestPieces(id, op, request, static_cast<std::size_t>(length), caller);
    } catch (const wire::FrameError& e) {
        return Result::error(e.what()); // nothing was sent: the connection stays as it was
    }
    Waiter& waiter = callerWaiter;
    waiter.answered = false;
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        if (ended_)
            return Result::error(endReason_);
        calls_.emplace(id, &waiter);
    }
    if (!send(frame))
        lostWriting();
    std::unique_lock<std::mutex> lock(waiter.mutex);
    waiter.done.wait(lock, [&waiter] { return waiter.answered; });
    return std::move(waiter.result);
}

// Quiet from before the call: the service closes its end once it has answered.
void RemoteConnection::disconnect()
{
    quiet_.store(true);
    call("disconnect", nullptr, 0);
    end(false);
}

void RemoteConnection::end(bool announce)
{
    if (!announce)
        quiet_.store(true);
    lost(closedMessage);
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
        std::unique_lock<std::mutex> lock(eventsMutex_);
        if (!eventsChanged_.wait_for(lock, limit, [this] { return eventThreadDone_; }))
            return false;
    }
    eventThread_.join();
    return true;
}

bool RemoteConnection::finished() const
{
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return eventThreadDone_ || eventThreadId_ == std::thread::id();
}

void RemoteConnection::shutdownSocket()
{
    // Shut down, not closed: the reader still owns the descriptor and wakes,
    // as does a writer waiting for room.
    if (fd_ >= 0)
        ::shutdown(fd_, SHUT_RDWR);
}

// One gathering write for the whole frame in the common case; what the
// socket did not take goes piece by piece.
bool RemoteConnection::send(const wire::FramePieces& frame)
{
    iovec pieces[3] = {{const_cast<std::uint8_t*>(frame.head.data()), frame.head.size()},
                       {const_cast<std::uint8_t*>(frame.body), frame.bodyLength},
                       {const_cast<std::uint8_t*>(frame.tail.data()), frame.tail.size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 3;
    std::lock_guard<std::mutex> lock(writeMutex_);
    ssize_t sent;
    do
        sent = ::sendmsg(fd_, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    // A failed write leaves the whole frame to the piecewise writes, which
    // tell a full socket from a broken one.
    std::size_t skip = sent > 0 ? static_cast<std::size_t>(sent) : 0;
    for (const iovec& piece : pieces) {
        const std::size_t taken = std::min(skip, piece.iov_len);
        skip -= taken;
        if (piece.iov_len > taken &&
            !sendLocked(static_cast<const std::uint8_t*>(piece.iov_base) + taken, piece.iov_len - taken))
            return false;
    }
    if (sent > 0)
        lastSent_.store(Clock::now().time_since_epoch().count());
    return true;
}

// The deadline moves with every byte the service takes, so a slow reader
// is fine and only a service that takes nothing is given up on.
bool RemoteConnection::sendLocked(const std::uint8_t* data, std::size_t length)
{
    auto deadline = Clock::now() + wire::silenceLimit;
    while (length > 0) {
        const ssize_t sent = ::send(fd_, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            length -= static_cast<std::size_t>(sent);
            deadline = Clock::now() + wire::silenceLimit;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent == 0 || errno != EAGAIN)
            return false;
        const auto now = Clock::now();
        if (now >= deadline)
            return false;
        pollfd ready{fd_, POLLOUT, 0};
        ::poll(&ready, 1, millisecondsUntil(deadline, now));
    }
    lastSent_.store(Clock::now().time_since_epoch().count());
    return true;
}

void RemoteConnection::heartbeatIfIdle(Clock::time_point now)
{
    if (now - Clock::time_point(Clock::duration(lastSent_.load())) < wire::heartbeatInterval)
        return;
    std::unique_lock<std::mutex> lock(writeMutex_, std::try_to_lock);
    if (!lock.owns_lock())
        return; // a frame is being written, which says enough
    // Never destroyed: a reader that did not end within the exit bound may
    // still beat while the process runs its exit handlers.
    static const std::vector<std::uint8_t>& frame = *new std::vector<std::uint8_t>(wire::encode(wire::heartbeat()));
    const ssize_t sent = ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent == static_cast<ssize_t>(frame.size()))
        lastSent_.store(now.time_since_epoch().count());
    else if (sent > 0 && !sendLocked(frame.data() + sent, frame.size() - static_cast<std::size_t>(sent)))
        shutdownSocket();
    // Nothing sent: the service is not reading, and its silence will tell.
}

// Reads block for at most a tick, so heartbeats and silence are checked
// without a poll before every read.
void RemoteConnection::readLoop()
{
    wire::FrameReader reader;
    std::string why = lostMessage;
    auto lastHeard = Clock::now();
    for (;;) {
        const std::size_t room = std::max(readChunk, reader.missing());
        const ssize_t got = ::recv(fd_, reader.space(room), room, 0);
        const auto now = Clock::now();
        if (got > 0) {
            reader.commit(static_cast<std::size_t>(got));
            lastHeard = now;
            try {
                wire::Message message;
                while (reader.next(message))
                    onFrame(message);
            } catch (const wire::FrameError& e) {
                why = std::string("the runtime service sent a broken frame: ") + e.what();
                break;
            }
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
        if (heartbeats_) {
            if (now - lastHeard >= wire::silenceLimit) {
                why = "the runtime service sent nothing for " + std::to_string(wire::silenceLimit.count()) +
                      " ms; it is treated as gone";
                break;
            }
            heartbeatIfIdle(now);
        }
    }
    lost(why);
}

void RemoteConnection::onFrame(wire::Message& message)
{
    switch (message.kind) {
    case wire::Kind::Response: {
        Waiter* waiter = nullptr;
        {
            std::lock_guard<std::mutex> lock(callsMutex_);
            const auto found = calls_.find(message.id);
            if (found == calls_.end())
                return;
            waiter = found->second;
            calls_.erase(found);
        }
        complete(*waiter, std::move(message.result));
        return;
    }
    case wire::Kind::Event: {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            if (eventsEnded_)
                return;
            wake = events_.empty();
            events_.push_back(QueuedEvent{std::move(message.bytes), message.id, true});
        }
        if (wake)
            eventsChanged_.notify_all();
        return;
    }
    case wire::Kind::Heartbeat:
        return;
    case wire::Kind::Request:
    case wire::Kind::EventReply:
        throw wire::FrameError("the service sent a frame that only an adapter sends");
    }
}

// Runs once, whoever ends the connection first: every waiting call fails at
// once, and the runtime hears "AdapterDisconnected" after the events that
// came before, unless this side ended the connection on purpose.
void RemoteConnection::lost(const std::string& why)
{
    std::unordered_map<std::uint64_t, Waiter*> failing;
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        if (ended_)
            return;
        ended_ = true;
        endReason_ = why;
        failing.swap(calls_);
    }
    shutdownSocket();
    for (auto& entry : failing)
        complete(*entry.second, Result::error(why));
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        eventsEnded_ = true;
        if (quiet_.load()) {
            events_.clear();
            dropEvents_.store(true);
        } else
            events_.push_back(
                QueuedEvent{encodeEvent(Event{event_type::adapterDisconnected, {}, {}, {}, {}}), 0, false});
    }
    eventsChanged_.notify_all();
}

// A write failed: the service closed its end, or took nothing within the limit.
void RemoteConnection::lostWriting()
{
    if (errno == EPIPE || errno == ECONNRESET)
        lost(lostMessage);
    else
        lost("the runtime service took nothing for " + std::to_string(wire::silenceLimit.count()) +
             " ms, or writing to it failed; it is treated as gone");
}

void RemoteConnection::eventLoop()
{
    eventThreadServiceHandle = serviceHandle_;
    eventThreadSocket = &socketPath_;
    std::deque<QueuedEvent> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(eventsMutex_);
            eventsChanged_.wait(lock, [this] { return eventsEnded_ || !events_.empty(); });
            if (events_.empty())
                break;
            batch.swap(events_);
        }
        for (QueuedEvent& event : batch) {
            if (dropEvents_.load())
                break; // ended on purpose: what is left goes undelivered
            Result reply = embedded::deliverToRuntime(onEvent_, releaseReply_, runtime_, event.bytes);
            if (!event.needsReply)
                continue;
            wire::FramePieces frame;
            try {
                frame = wire::answerPieces(wire::Kind::EventReply, event.id, reply);
            } catch (const wire::FrameError& e) {
                // The dispatcher hears why at once, instead of waiting for a reply that cannot come.
                reply = Result::error(e.what());
                frame = wire::answerPieces(wire::Kind::EventReply, event.id, reply);
            }
            if (!send(frame))
                lostWriting();
        }
        batch.clear();
    }
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        eventThreadDone_ = true;
    }
    eventsChanged_.notify_all();
}

} // namespace halvora::adapter::remote
