// What the routing core needs of a connected runtime, whatever carries its
// events: the in-process transport or a peer of the runtime service.
#pragma once

#include "core/Events.h"
#include "core/Result.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

namespace halvora::adapter {

// Runs once per event with the runtime's reply, or with an error when the
// event was dropped because the connection closed first.
using ReplyHandler = std::function<void(Result)>;

class Connection {
public:
    virtual ~Connection() = default;

    // Queues one event behind the ones already queued. The core calls it
    // under its routing lock, so it must be cheap: the event is encoded
    // later, on the connection's own thread. It never calls `onReply` or the
    // runtime on the calling thread. False once the connection is closed.
    virtual bool deliver(Event event, ReplyHandler onReply) = 0;

    // Stops taking events and drops the queued ones; `lastEvent`, when not
    // empty, is still delivered. Does not wait.
    virtual void close(std::vector<std::uint8_t> lastEvent) = 0;

    // Returns once nothing more will be delivered. Called on the connection's
    // own event thread it does not wait for itself.
    virtual void waitClosed() = 0;

    // As waitClosed, but gives up after `limit`; false when it gave up.
    virtual bool waitClosedFor(std::chrono::milliseconds limit) = 0;
};

} // namespace halvora::adapter
