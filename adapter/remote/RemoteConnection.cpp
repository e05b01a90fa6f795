#include "remote/RemoteConnection.h"

#include "core/Events.h"
#include "embedded/EmbeddedConnection.h"
#include "wire/SocketPath.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
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
constexpr auto keeperTick = std::chrono::milliseconds(250);

void complete(RemoteConnection::Waiter& waiter, Result result)
{
    // Notified under the lock: the caller may return, and reuse the waiter,
    // as soon as it sees the answer.
    std::lock_guard<std::mutex> lock(waiter.mutex);
    waiter.result = std::move(result);
    waiter.answered = true;
    waiter.done.notify_one();
}

bool answered(RemoteConnection::Waiter& waiter)
{
    std::lock_guard<std::mutex> lock(waiter.mutex);
    return waiter.answered;
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
        if (keeper_.joinable())
            keeper_.join();
        if (eventThread_.joinable()) {
            if (eventThread_.get_id() == std::this_thread::get_id())
                eventThread_.detach(); // the last owner let go inside a handler; the thread ends right after
            else
                eventThread_.join();
        }
    }
    for (const int fd : {fd_, poller_, wake_})
        if (fd >= 0)
            ::close(fd);
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
    poller_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wakeEvent{EPOLLIN, {}};
    wakeEvent.data.fd = wake_;
    if (poller_ < 0 || wake_ < 0 || ::epoll_ctl(poller_, EPOLL_CTL_ADD, wake_, &wakeEvent) != 0) {
        const std::string why = std::generic_category().message(errno); // before lost() touches errno
        lost(closedMessage);
        return Result::error("cannot set up the connection: " + why);
    }
    heartbeats_ = heartbeats;
    const auto now = Clock::now().time_since_epoch().count();
    lastSent_.store(now);
    lastHeard_.store(now);
    try {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        keeper_ = std::thread([this] { keeperLoop(); });
    } catch (const std::system_error& e) {
        lost(closedMessage);
        return Result::error(std::string("cannot start the connection's keeper thread: ") + e.what());
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
    waiter.reads = false;
    bool reads = false;
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        if (ended_)
            return Result::error(endReason_);
        calls_.emplace(id, &waiter);
        reads = takeReadingLocked(false);
    }
    if (!send(frame))
        lostWriting();
    if (!reads) {
        std::unique_lock<std::mutex> lock(waiter.mutex);
        waiter.done.wait(lock, [&waiter] { return waiter.answered || waiter.reads; });
        reads = waiter.reads;
    }
    if (reads) {
        // The answer comes to the thread that waits for it, without a hand-off.
        while (!answered(waiter) && readOnce(true) != Read::Ended) {
        }
        passReading();
    }
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
    if (keeper_.joinable())
        keeper_.join(); // ends promptly once the connection has ended
    if (!eventThread_.joinable())
        return true;
    if (eventThread_.get_id() == std::this_thread::get_id())
        return false;
    {
        std::unique_lock<std::mutex> lock(eventsMutex_);
        if (!eventThreadFinished_.wait_for(lock, limit, [this] { return eventThreadDone_; }))
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
    // Shut down, not closed: whoever reads still uses the descriptor and wakes,
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

bool RemoteConnection::takeReadingLocked(bool eventThread)
{
    if (someoneReads_)
        return false;
    someoneReads_ = true;
    if (!eventThread)
        armLocked(false); // the idle event thread must not wake for what this thread reads
    return true;
}

void RemoteConnection::armLocked(bool armed)
{
    if (armed == armed_)
        return;
    epoll_event event{EPOLLIN, {}};
    event.data.fd = fd_;
    if (::epoll_ctl(poller_, armed ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, fd_, &event) == 0)
        armed_ = armed;
}

void RemoteConnection::passReading()
{
    std::lock_guard<std::mutex> lock(callsMutex_);
    if (!calls_.empty()) {
        // A call that waits needs a reader; it becomes one.
        Waiter& next = *calls_.begin()->second;
        std::lock_guard<std::mutex> waiting(next.mutex);
        next.reads = true;
        next.done.notify_one();
        armLocked(false);
        return;
    }
    someoneReads_ = false;
    if (eventThreadWaits_ && !ended_)
        armLocked(true);
}

RemoteConnection::Read RemoteConnection::readOnce(bool block)
{
    const std::size_t room = frames_.readRoom();
    // A blocking read returns within a tick (SO_RCVTIMEO).
    const ssize_t got = ::recv(fd_, frames_.space(room), room, block ? 0 : MSG_DONTWAIT);
    if (got > 0) {
        frames_.commit(static_cast<std::size_t>(got));
        lastHeard_.store(Clock::now().time_since_epoch().count());
        try {
            wire::Message message;
            while (frames_.next(message))
                onFrame(message);
        } catch (const wire::FrameError& e) {
            lost(std::string("the runtime service sent a broken frame: ") + e.what());
            return Read::Ended;
        }
        return Read::Data;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return Read::Nothing;
    lost(lostMessage);
    return Read::Ended;
}

// Heartbeats, silence, and a read each tick while nobody else reads (the
// event thread runs a handler and no call waits), so that the service's
// heartbeats and a closed socket are seen then too.
void RemoteConnection::keeperLoop()
{
    std::unique_lock<std::mutex> lock(callsMutex_);
    while (!ended_) {
        keeperWake_.wait_for(lock, keeperTick);
        if (ended_)
            break;
        const bool reads = !eventThreadWaits_ && takeReadingLocked(false);
        lock.unlock();
        if (reads) {
            readOnce(false);
            passReading();
        }
        const auto now = Clock::now();
        if (heartbeats_) {
            if (now - Clock::time_point(Clock::duration(lastHeard_.load())) >= wire::silenceLimit)
                lost("the runtime service sent nothing for " + std::to_string(wire::silenceLimit.count()) +
                     " ms; it is treated as gone");
            else
                heartbeatIfIdle(now);
        }
        lock.lock();
    }
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
            wake = events_.empty() && std::this_thread::get_id() != eventThreadId_;
            events_.push_back(QueuedEvent{std::move(message.bytes), message.id, true});
        }
        if (wake)
            wakeEventThread();
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
    keeperWake_.notify_all();
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
    wakeEventThread();
}

void RemoteConnection::wakeEventThread()
{
    const std::uint64_t one = 1;
    if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
        // Full only when unread wake-ups are pending, which wake it as well.
    }
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

// Idle: reads the socket itself while nobody else does, so that an event
// wakes this thread alone; woken as well for events another thread read.
void RemoteConnection::waitForEvents()
{
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        eventThreadWaits_ = true;
        armLocked(!someoneReads_ && !ended_); // an ended socket stays readable: wait for wake_ alone
    }
    epoll_event ready[2];
    const int count = ::epoll_wait(poller_, ready, 2, -1);
    bool readable = false;
    for (int i = 0; i < count; ++i) {
        if (ready[i].data.fd == wake_) {
            std::uint64_t wakes = 0;
            if (::read(wake_, &wakes, sizeof wakes) < 0) {
                // Nothing to take: another wake-up's read took it.
            }
        } else
            readable = true;
    }
    bool reads = false;
    {
        std::lock_guard<std::mutex> lock(callsMutex_);
        eventThreadWaits_ = false;
        reads = readable && !ended_ && takeReadingLocked(true);
    }
    if (!reads)
        return;
    for (;;) {
        if (readOnce(false) != Read::Data)
            break;
        std::lock_guard<std::mutex> lock(eventsMutex_);
        if (!events_.empty())
            break;
    }
    passReading();
}

void RemoteConnection::eventLoop()
{
    eventThreadServiceHandle = serviceHandle_;
    eventThreadSocket = &socketPath_;
    std::deque<QueuedEvent> batch;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(eventsMutex_);
            if (!events_.empty())
                batch.swap(events_);
            else if (eventsEnded_)
                break;
        }
        if (batch.empty()) {
            waitForEvents();
            continue;
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
    eventThreadFinished_.notify_all();
}

} // namespace halvora::adapter::remote
