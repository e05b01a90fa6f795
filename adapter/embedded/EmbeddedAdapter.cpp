#include "embedded/EmbeddedAdapter.h"

#include "core/RequestMap.h"
#include "core/Requests.h"
#include "remote/Autostart.h"
#include "wire/SocketPath.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>

namespace halvora::adapter::embedded {

namespace {

constexpr auto exitJoinLimit = std::chrono::milliseconds(2000);

// The runtime's address travels as an integer in the connect request and
// goes back to it as the callbacks' context; it is never dereferenced here.
void* runtimeContext(std::uint64_t runtimePtr)
{
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(runtimePtr)); // NOLINT(performance-no-int-to-ptr)
}

// Runs after the statics of everything that links this library, which may
// still hold connections.
std::atomic<EmbeddedAdapter*> created{nullptr};

// On Windows the statics of a DLL go after the process has ended every other
// thread: there is nothing left to close or join, and waiting on what those
// threads held would hang the exit.
struct ExitGuard {
    ~ExitGuard()
    {
#if !defined(_WIN32)
        if (EmbeddedAdapter* adapter = created.load())
            adapter->closeForExit();
#endif
    }
} exitGuard;

} // namespace

EmbeddedAdapter& EmbeddedAdapter::instance()
{
    static EmbeddedAdapter* adapter = [] {
        auto* made = new EmbeddedAdapter;
        created.store(made);
        return made;
    }();
    return *adapter;
}

CallerContext EmbeddedAdapter::caller()
{
    return CallerContext{EmbeddedConnection::currentEventHandle()};
}

Result EmbeddedAdapter::connect(const std::uint8_t* request, std::uint64_t length, HalvoraEventCallback onEvent,
                                HalvoraReleaseCallback releaseReply)
{
    retired_.joinFinished();
    ConnectRequest connect;
    try {
        connect = readConnectRequest(request, length);
    } catch (const RequestError& e) {
        return Result::error(e.what());
    }
    if (onEvent == nullptr || releaseReply == nullptr)
        return Result::error("connecting needs both an event callback and a release callback");

    // Handles come from the core for both transports, so they never clash.
    const std::uint64_t handle = core_.reserveHandle();
    if (connect.port != 0) {
        const std::string socketPath = wire::socketPathForPort(static_cast<int>(connect.port));
        const std::string notStarted = remote::startServiceIfAbsent(connect, socketPath);
        if (!notStarted.empty())
            return Result::error(notStarted);
        return remotes_.connect(handle, socketPath, request, length, !connect.disableHeartbeating, onEvent,
                                releaseReply, runtimeContext(connect.runtimePtr));
    }
    auto connection = std::make_shared<EmbeddedConnection>(handle, onEvent, releaseReply,
                                                           runtimeContext(connect.runtimePtr), retired_);
    try {
        connection->start();
    } catch (const std::system_error& e) {
        return Result::error(std::string("cannot start the connection's event thread: ") + e.what());
    }
    core_.attach(handle, std::move(connect.identity), std::move(connection));
    return Result::ofNumber(handle);
}

Result EmbeddedAdapter::disconnect(const std::uint8_t* request, std::uint64_t length)
{
    std::uint64_t handle = 0;
    try {
        handle = readDisconnectRequest(request, length);
    } catch (const RequestError& e) {
        return Result::error(e.what());
    }
    if (remotes_.disconnect(handle))
        return Result::null();
    const std::shared_ptr<Connection> connection = core_.detach(handle);
    if (!connection)
        return Result::error("the runtime handle " + std::to_string(handle) + " is not connected");
    connection->close({});
    connection->waitClosed();
    retired_.joinFinished();
    return Result::null();
}

void EmbeddedAdapter::shutdown()
{
    remotes_.endAll(true, exitJoinLimit);
    for (const auto& connection : core_.detachAll(true))
        connection->waitClosed();
    core_.stopBackgroundWork();
    // A runtime that disconnected inside its own handler leaves its thread
    // still returning from that handler: it is joined too, within a bound,
    // so a handler that never returns cannot hold the shutdown.
    retired_.joinWithin(exitJoinLimit);
}

void EmbeddedAdapter::closeForExit()
{
    const auto deadline = std::chrono::steady_clock::now() + exitJoinLimit;
    remotes_.endAll(false, exitJoinLimit / 2);
    for (const auto& connection : core_.detachAll(false)) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left > std::chrono::steady_clock::duration::zero())
            connection->waitClosedFor(std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }
    retired_.joinWithin(std::chrono::milliseconds(100));
    core_.stopBackgroundWork();
}

} // namespace halvora::adapter::embedded
