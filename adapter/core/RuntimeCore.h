// The routing core of the adapter: connected runtimes, channel providers and
// clients, and the calls that wait for a runtime's reply. It knows runtimes
// only through core::Connection, so every transport shares it.
#pragma once

#include "core/Connection.h"
#include "core/Events.h"
#include "core/ManifestLauncher.h"
#include "core/Result.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace halvora::adapter {

// What the core keeps of a runtime's connect request.
struct RuntimeIdentity {
    std::string uuid; // the runtime options' "uuid"
};

// The connection whose event thread makes a call, 0 when the caller is not
// an event thread. A call that would wait on its own event thread is refused.
struct CallerContext {
    std::uint64_t eventHandle = 0;
};

class PendingCall;

class RuntimeCore {
public:
    RuntimeCore();
    RuntimeCore(const RuntimeCore&) = delete;
    RuntimeCore& operator=(const RuntimeCore&) = delete;
    ~RuntimeCore();

    // A fresh non-zero handle, never handed out before by this core.
    std::uint64_t reserveHandle();
    void attach(std::uint64_t handle, RuntimeIdentity identity, std::shared_ptr<Connection> connection);
    // Removes the runtime: its clients leave their providers, its providers'
    // clients hear that the channel went, its pending calls fail. Returns the
    // connection for the transport to close, or null for an unknown handle.
    std::shared_ptr<Connection> detach(std::uint64_t handle);
    // Removes every runtime at once. With `announce` each connection still
    // receives it (the adapter's "AdapterDisconnected") before it closes.
    std::vector<std::shared_ptr<Connection>> detachAll(bool announce);

    Result createProvider(std::uint64_t handle, const std::string& channelName);
    Result connectToProvider(std::uint64_t handle, const std::string& channelName, bool wait, CallerContext caller);
    Result disconnectFromProvider(std::uint64_t handle, const std::string& clientId);
    Result clientDispatch(std::uint64_t handle, const std::string& clientId, const std::string& topic,
                          std::optional<std::string> payload, CallerContext caller);
    Result dispatchToEndpoint(std::uint64_t handle, const std::string& providerId, const std::string& endpointId,
                              const std::string& topic, std::optional<std::string> payload, CallerContext caller);
    Result launchManifest(std::uint64_t handle, const std::string& manifestUrl);

    // Joins the core's own background threads.
    void stopBackgroundWork();

private:
    struct ConnectionEntry {
        RuntimeIdentity identity;
        std::shared_ptr<Connection> connection;
    };
    struct ProviderEntry {
        Endpoint endpoint;
        std::uint64_t handle = 0;
        std::set<std::string> clients; // client endpoint ids
    };
    struct ClientEntry {
        Endpoint endpoint;
        std::uint64_t handle = 0;
        std::string providerId;
    };
    using Lock = std::unique_lock<std::mutex>;

    const ConnectionEntry& connectionOf(std::uint64_t handle) const; // throws when unknown
    std::string nextEndpointId(const char* kind);
    void send(std::uint64_t handle, const Event& event);
    Result callAndWait(Lock& lock, std::uint64_t target, CallerContext caller, const Event& event);
    bool wouldWaitOnItself(std::uint64_t target, std::uint64_t caller) const;
    void failCalls(std::uint64_t handle, const std::string& message);

    const std::string instanceTag_; // keeps identities of one adapter instance apart from another's

    mutable std::mutex stateMutex_; // guards every member below
    std::condition_variable providersChanged_;
    std::uint64_t nextHandle_ = 1;
    std::uint64_t nextSerial_ = 1;
    std::uint64_t detachAllCount_ = 0;
    std::map<std::uint64_t, ConnectionEntry> connections_;
    std::map<std::string, std::string> providerByChannel_;
    std::map<std::string, ProviderEntry> providers_;
    std::map<std::string, ClientEntry> clients_;
    std::vector<std::shared_ptr<PendingCall>> pendingCalls_;
    std::multimap<std::uint64_t, std::uint64_t> eventThreadWaits_; // blocked event thread -> whose reply it waits for

    ManifestLauncher launcher_;
};

} // namespace halvora::adapter
