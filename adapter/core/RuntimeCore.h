// The routing core of the adapter: connected runtimes, channel providers and
// clients, and the operations that wait for another runtime. It knows
// runtimes only through core::Connection, so every transport shares it.
//
// No thread ever waits inside the core. An operation that needs another
// runtime (a connect that waits for a provider, a dispatch) leaves a pending
// record and returns; the record is completed exactly once by the answer,
// by the runtime that was to answer going away, by the calling runtime
// going away, or by the core shutting down.
#pragma once

#include "core/Completion.h"
#include "core/Connection.h"
#include "core/Events.h"
#include "core/ManifestLauncher.h"
#include "core/Result.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace halvora::adapter {

// What the core keeps of a runtime's connect request.
struct RuntimeIdentity {
    std::string uuid; // the runtime options' "uuid"
};

// The connection whose event thread makes a call, 0 when the caller is not
// an event thread. That thread is blocked until the call completes, so a
// call that would wait on its own event thread is refused.
struct CallerContext {
    std::uint64_t eventHandle = 0;
};

// What the core serves at one moment, for a service's status.
struct CoreStatus {
    struct Runtime {
        std::uint64_t handle = 0;
        std::string uuid;
    };
    struct Channel {
        std::string name;
        std::uint64_t providerHandle = 0;
        std::size_t clients = 0;
    };
    std::vector<Runtime> runtimes;
    std::vector<Channel> channels;
    std::size_t waitingCalls = 0;    // dispatches that wait for a runtime's reply
    std::size_t waitingConnects = 0; // connects that wait for a provider
};

class RuntimeCore {
public:
    RuntimeCore();
    RuntimeCore(const RuntimeCore&) = delete;
    RuntimeCore& operator=(const RuntimeCore&) = delete;

    // A fresh non-zero handle, never handed out before by this core.
    std::uint64_t reserveHandle();
    void attach(std::uint64_t handle, RuntimeIdentity identity, std::shared_ptr<Connection> connection);
    // Removes the runtime: its clients leave their providers, its providers'
    // clients hear that the channel went, the calls it was to answer and the
    // ones it made fail. Returns the connection for the transport to close,
    // or null for an unknown handle.
    std::shared_ptr<Connection> detach(std::uint64_t handle);
    // Removes every runtime at once and fails every pending call. With
    // `announce` each connection still receives "AdapterDisconnected" before
    // it closes.
    std::vector<std::shared_ptr<Connection>> detachAll(bool announce);

    // The operations of the C interface. Those that answer at once return
    // their result and throw RequestError for an unknown handle; those that
    // may wait run `done` exactly once, possibly before they return, and
    // never throw.
    Result createProvider(std::uint64_t handle, const std::string& channelName);
    void connectToProvider(std::uint64_t handle, const std::string& channelName, bool wait, CallerContext caller,
                           Completion done);
    Result disconnectFromProvider(std::uint64_t handle, const std::string& clientId);
    // The ids are looked up where they lie; the topic goes on into the event.
    void clientDispatch(std::uint64_t handle, std::string_view clientId, std::string topic,
                        std::optional<PackedPayload> payload, CallerContext caller, Completion done);
    void dispatchToEndpoint(std::uint64_t handle, std::string_view providerId, std::string_view endpointId,
                            std::string topic, std::optional<PackedPayload> payload, CallerContext caller,
                            Completion done);
    Result launchManifest(std::uint64_t handle, const std::string& manifestUrl);

    // Pending records of every kind: calls waiting for a reply and connects
    // waiting for a provider.
    std::size_t pendingCount() const;
    CoreStatus status() const;

    // Joins the core's own background threads.
    void stopBackgroundWork();

private:
    struct ConnectionEntry {
        RuntimeIdentity identity;
        std::shared_ptr<Connection> connection;
    };
    struct ProviderEntry {
        SharedEndpoint endpoint;
        std::uint64_t handle = 0;
        std::set<std::string> clients; // client endpoint ids
    };
    struct ClientEntry {
        SharedEndpoint endpoint;
        std::uint64_t handle = 0;
        std::string providerId;
    };
    // A call that waits for `target` to answer one event.
    struct PendingCall {
        std::uint64_t requester = 0;
        std::uint64_t target = 0;
        std::uint64_t waitingEventThread = 0; // the caller's blocked event thread, or 0
        Completion done;
    };
    // A connect that waits for a provider of its channel.
    struct ProviderWait {
        std::uint64_t handle = 0;
        std::string channelName;
        Completion done;
    };
    // Completions decided under the lock and run after it is released.
    using Settled = std::vector<std::pair<Completion, Result>>;

    static Result unknownHandle(std::uint64_t handle);
    const ConnectionEntry& connectionOf(std::uint64_t handle) const; // throws when unknown
    std::string idOf(const char* kind, std::uint64_t serial) const;
    void send(std::uint64_t handle, Event event);
    Result joinProvider(std::uint64_t handle, ProviderEntry& provider);
    std::optional<Result> startCall(std::uint64_t requester, std::uint64_t target, CallerContext caller, Event event,
                                    Completion& done);
    void completeCall(std::uint64_t id, Result result);
    bool wouldWaitOnItself(std::uint64_t target, std::uint64_t caller) const;
    void forgetCall(std::unordered_map<std::uint64_t, PendingCall>::iterator call);
    void failCalls(std::uint64_t handle, Settled& settled);
    static void run(Settled& settled);

    const std::string instanceTag_; // keeps identities of one adapter instance apart from another's
    // Outlives the core for reply handlers still held by connections.
    const std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex stateMutex_; // guards every member below
    std::uint64_t nextHandle_ = 1;
    std::uint64_t nextSerial_ = 1;
    std::uint64_t nextRecord_ = 1;
    std::map<std::uint64_t, ConnectionEntry> connections_;
    std::map<std::string, std::string> providerByChannel_;
    std::map<std::string, ProviderEntry, std::less<>> providers_;
    std::map<std::string, ClientEntry, std::less<>> clients_;
    std::unordered_map<std::uint64_t, PendingCall> pendingCalls_;
    std::map<std::uint64_t, ProviderWait> providerWaits_;
    std::multimap<std::uint64_t, std::uint64_t> eventThreadWaits_; // blocked event thread -> whose reply it waits for

    ManifestLauncher launcher_;
};

} // namespace halvora::adapter
