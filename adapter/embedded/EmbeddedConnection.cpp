#include "embedded/EmbeddedConnection.h"

#include "core/Events.h"

#include <algorithm>

namespace halvora::adapter::embedded {

namespace {

thread_local std::uint64_t eventThreadHandle = 0;

// Far above any real reply; guards against a length field that is garbage.
constexpr std::uint64_t maxReplyBytes = std::uint64_t{1} << 30;

// A megabyte of payload and the event around it.
constexpr std::size_t keptEventLimit = (std::size_t{1} << 20) + 4096;

std::uint64_t readLittleEndian64(const std::uint8_t* bytes)
{
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return value;
}

} // namespace

EmbeddedConnection::EmbeddedConnection(std::uint64_t handle, HalvoraEventCallback onEvent,
                                       HalvoraReleaseCallback releaseReply, void* runtime, RetiredConnections& retired)
    : handle_(handle), onEvent_(onEvent), releaseReply_(releaseReply), runtime_(runtime), retired_(retired)
{}

EmbeddedConnection::~EmbeddedConnection()
{
    close({});
    if (thread_.joinable()) {
        if (threadId_ == std::this_thread::get_id())
            thread_.detach(); // the last owner let go on this very thread; it ends right after
        else
            thread_.join();
    }
}

void EmbeddedConnection::start()
{
    thread_ = std::thread([this] { run(); });
    threadId_ = thread_.get_id();
}

std::uint64_t EmbeddedConnection::currentEventHandle()
{
    return eventThreadHandle;
}

bool EmbeddedConnection::deliver(Event event, ReplyHandler onReply)
{
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (closed_)
            return false;
        queue_.push_back(QueuedEvent{std::move(event), {}, std::move(onReply)});
    }
    queueChanged_.notify_all();
    return true;
}

void EmbeddedConnection::close(std::vector<std::uint8_t> lastEvent)
{
    std::deque<QueuedEvent> dropped;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        if (closed_)
            return;
        closed_ = true;
        dropped.swap(queue_);
        if (!lastEvent.empty())
            queue_.push_back(QueuedEvent{{}, std::move(lastEvent), {}});
    }
    queueChanged_.notify_all();
    for (QueuedEvent& event : dropped)
        if (event.onReply)
            event.onReply(Result::error("the runtime disconnected before the message was delivered"));
}

void EmbeddedConnection::waitClosed()
{
    if (threadId_ == std::this_thread::get_id()) {
        retired_.add(shared_from_this());
        return;
    }
    join();
}

bool EmbeddedConnection::waitClosedFor(std::chrono::milliseconds limit)
{
    if (threadId_ == std::this_thread::get_id())
        return false;
    std::unique_lock<std::mutex> lock(queueMutex_);
    if (!queueChanged_.wait_for(lock, limit, [this] { return finished_; }))
        return false;
    lock.unlock();
    join();
    return true;
}

bool EmbeddedConnection::finished() const
{
    std::lock_guard<std::mutex> lock(queueMutex_);
    return finished_;
}

void EmbeddedConnection::join()
{
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (thread_.joinable())
        thread_.join();
}

void EmbeddedConnection::run()
{
    eventThreadHandle = handle_;
    // Events are encoded into one buffer, kept from event to event: a large
    // event then does not go back to the allocator each time, which hands
    // freed blocks of that size to the system and takes them back page by
    // page on the next one.
    std::vector<std::uint8_t> encoded;
    for (;;) {
        QueuedEvent event;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            queueChanged_.wait(lock, [this] { return closed_ || !queue_.empty(); });
            if (queue_.empty())
                break;
            event = std::move(queue_.front());
            queue_.pop_front();
        }
        Result reply;
        if (!event.bytes.empty()) {
            reply = deliverToRuntime(onEvent_, releaseReply_, runtime_, std::move(event.bytes));
        } else {
            const EventBytes bytes = EventBytes::of(event.event, encoded);
            reply = deliverToRuntime(onEvent_, releaseReply_, runtime_, bytes.data, bytes.size);
            event.event = Event{};
            // Up to keptEventLimit the scratch buffer serves the next event
            // as well; a larger one goes now.
            if (encoded.capacity() > keptEventLimit)
                std::vector<std::uint8_t>().swap(encoded);
        }
        if (event.onReply)
            event.onReply(std::move(reply));
    }
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        finished_ = true;
    }
    queueChanged_.notify_all();
}

namespace {

// The runtime's callback on the event's bytes; false when it threw.
bool callRuntime(HalvoraEventCallback onEvent, void* runtime, const std::uint8_t* data, std::size_t size,
                 std::uint8_t*& reply)
{
    try {
        reply = onEvent(data, size, runtime);
        return true;
    } catch (...) {
        return false;
    }
}

Result readReply(HalvoraReleaseCallback releaseReply, std::uint8_t* reply)
{
    if (reply == nullptr) // a dispatcher must not take this for an answer without value
        return Result::error("The application did not answer");

    Result result;
    try {
        const std::uint64_t length = readLittleEndian64(reply);
        if (length > maxReplyBytes) {
            result = Result::error("the runtime's reply to the event is too large");
        } else {
            // The reply's text is handed on in place; the reply then goes
            // back to the runtime when the result does.
            bool held = false;
            result = decodeReplyMapHeld(reply, reply + 8, static_cast<std::size_t>(length), releaseReply, held);
            if (held)
                return result;
        }
    } catch (...) {
        result = Result::error("the runtime's reply to the event could not be read");
    }
    try {
        releaseReply(reply);
    } catch (...) {
        // the buffer is the runtime's; nothing more can be done with it here
    }
    return result;
}

Result handlerFailed()
{
    return Result::error("the runtime's event handler failed");
}

} // namespace

Result deliverToRuntime(HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply, void* runtime,
                        const std::uint8_t* data, std::size_t size)
{
    std::uint8_t* reply = nullptr;
    if (!callRuntime(onEvent, runtime, data, size, reply))
        return handlerFailed();
    return readReply(releaseReply, reply);
}

Result deliverToRuntime(HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply, void* runtime,
                        const std::vector<std::uint8_t>& bytes)
{
    return deliverToRuntime(onEvent, releaseReply, runtime, bytes.data(), bytes.size());
}

Result deliverToRuntime(HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply, void* runtime,
                        std::vector<std::uint8_t>&& bytes)
{
    std::uint8_t* reply = nullptr;
    const bool called = callRuntime(onEvent, runtime, bytes.data(), bytes.size(), reply);
    // Read by now: a large event need not stay in memory beside its reply.
    std::vector<std::uint8_t>().swap(bytes);
    if (!called)
        return handlerFailed();
    return readReply(releaseReply, reply);
}

void RetiredConnections::add(std::shared_ptr<EmbeddedConnection> connection)
{
    std::lock_guard<std::mutex> lock(retiredMutex_);
    retired_.push_back(std::move(connection));
}

void RetiredConnections::joinFinished()
{
    std::vector<std::shared_ptr<EmbeddedConnection>> finished;
    {
        std::lock_guard<std::mutex> lock(retiredMutex_);
        const auto split = std::stable_partition(retired_.begin(), retired_.end(),
                                                 [](const auto& connection) { return !connection->finished(); });
        finished.assign(std::make_move_iterator(split), std::make_move_iterator(retired_.end()));
        retired_.erase(split, retired_.end());
    }
    for (const auto& connection : finished)
        connection->join();
}

void RetiredConnections::joinWithin(std::chrono::milliseconds limit)
{
    std::vector<std::shared_ptr<EmbeddedConnection>> retired;
    {
        std::lock_guard<std::mutex> lock(retiredMutex_);
        retired.swap(retired_);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::shared_ptr<EmbeddedConnection>> running;
    for (const auto& connection : retired) {
        const auto left =
            std::max(std::chrono::steady_clock::duration::zero(), deadline - std::chrono::steady_clock::now());
        if (!connection->waitClosedFor(std::chrono::duration_cast<std::chrono::milliseconds>(left)))
            running.push_back(connection);
    }
    std::lock_guard<std::mutex> lock(retiredMutex_);
    retired_.insert(retired_.end(), running.begin(), running.end());
}

} // namespace halvora::adapter::embedded
