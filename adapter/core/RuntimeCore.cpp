#include "core/RuntimeCore.h"

#include "core/RequestMap.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

namespace halvora::adapter {

namespace {

std::string randomTag()
{
    std::random_device source;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(source()));
    return text;
}

std::string inQuotes(std::string_view text)
{
    return "'" + std::string(text) + "'";
}

const char* const targetGone = "the runtime that was to answer the call disconnected";
const char* const callerGone = "the calling runtime disconnected before the call was answered";
const char* const shutDown = "the adapter shut down before the call was answered";

} // namespace

RuntimeCore::RuntimeCore() : instanceTag_(randomTag()) {}

void RuntimeCore::run(Settled& settled)
{
    for (auto& entry : settled)
        entry.first(std::move(entry.second));
    settled.clear();
}

std::uint64_t RuntimeCore::reserveHandle()
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return nextHandle_++;
}

void RuntimeCore::attach(std::uint64_t handle, RuntimeIdentity identity, std::shared_ptr<Connection> connection)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    connections_[handle] = ConnectionEntry{std::move(identity), std::move(connection)};
}

Result RuntimeCore::unknownHandle(std::uint64_t handle)
{
    return Result::error("the runtime handle " + std::to_string(handle) + " is not connected");
}

const RuntimeCore::ConnectionEntry& RuntimeCore::connectionOf(std::uint64_t handle) const
{
    const auto found = connections_.find(handle);
    if (found == connections_.end())
        throw RequestError(unknownHandle(handle).text);
    return found->second;
}

std::string RuntimeCore::idOf(const char* kind, std::uint64_t serial) const
{
    return std::string(kind) + ":" + instanceTag_ + ":" + std::to_string(serial);
}

// Queued under the state lock, so every runtime sees events in the order in
// which the core decided them.
void RuntimeCore::send(std::uint64_t handle, Event event)
{
    const auto found = connections_.find(handle);
    if (found != connections_.end())
        found->second.connection->deliver(std::move(event), {});
}

std::shared_ptr<Connection> RuntimeCore::detach(std::uint64_t handle)
{
    Settled settled;
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const auto found = connections_.find(handle);
        if (found == connections_.end())
            return nullptr;
        connection = std::move(found->second.connection);
        connections_.erase(found);

        for (auto client = clients_.begin(); client != clients_.end();) {
            if (client->second.handle != handle) {
                ++client;
                continue;
            }
            const auto provider = providers_.find(client->second.providerId);
            if (provider != providers_.end()) {
                provider->second.clients.erase(client->first);
                send(provider->second.handle, Event{event_type::providerClientDisconnected,
                                                    client->second.endpoint,
                                                    provider->second.endpoint->channelName,
                                                    {},
                                                    {}});
            }
            client = clients_.erase(client);
        }

        for (auto provider = providers_.begin(); provider != providers_.end();) {
            if (provider->second.handle != handle) {
                ++provider;
                continue;
            }
            const SharedEndpoint& endpoint = provider->second.endpoint;
            for (const std::string& clientId : provider->second.clients) {
                const auto client = clients_.find(clientId);
                if (client == clients_.end())
                    continue;
                send(client->second.handle,
                     Event{event_type::channelDisconnected, endpoint, endpoint->channelName, {}, {}});
                clients_.erase(client);
            }
            providerByChannel_.erase(endpoint->channelName);
            provider = providers_.erase(provider);
        }

        for (auto wait = providerWaits_.begin(); wait != providerWaits_.end();) {
            if (wait->second.handle != handle) {
                ++wait;
                continue;
            }
            settled.emplace_back(std::move(wait->second.done),
                                 Result::error("the runtime disconnected while waiting for a provider of the channel " +
                                               inQuotes(wait->second.channelName)));
            wait = providerWaits_.erase(wait);
        }
        failCalls(handle, settled);
    }
    run(settled);
    return connection;
}

std::vector<std::shared_ptr<Connection>> RuntimeCore::detachAll(bool announce)
{
    std::vector<std::shared_ptr<Connection>> connections;
    Settled settled;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        for (auto& entry : connections_)
            connections.push_back(std::move(entry.second.connection));
        connections_.clear();
        clients_.clear();
        providers_.clear();
        providerByChannel_.clear();
        for (auto& call : pendingCalls_)
            settled.emplace_back(std::move(call.second.done), Result::error(shutDown));
        pendingCalls_.clear();
        eventThreadWaits_.clear();
        for (auto& wait : providerWaits_)
            settled.emplace_back(std::move(wait.second.done),
                                 Result::error("the adapter shut down while waiting for a provider of the channel " +
                                               inQuotes(wait.second.channelName)));
        providerWaits_.clear();
    }
    run(settled);
    std::vector<std::uint8_t> lastEvent;
    if (announce)
        lastEvent = encodeEvent(Event{event_type::adapterDisconnected, {}, {}, {}, {}});
    for (const auto& connection : connections)
        connection->close(lastEvent);
    return connections;
}

void RuntimeCore::forgetCall(std::unordered_map<std::uint64_t, PendingCall>::iterator call)
{
    const std::uint64_t waiting = call->second.waitingEventThread;
    if (waiting != 0) {
        const auto waits = eventThreadWaits_.equal_range(waiting);
        for (auto it = waits.first; it != waits.second; ++it)
            if (it->second == call->second.target) {
                eventThreadWaits_.erase(it);
                break;
            }
    }
    pendingCalls_.erase(call);
}

void RuntimeCore::failCalls(std::uint64_t handle, Settled& settled)
{
    for (auto call = pendingCalls_.begin(); call != pendingCalls_.end();) {
        const PendingCall& record = call->second;
        if (record.target != handle && record.requester != handle && record.waitingEventThread != handle) {
            ++call;
            continue;
        }
        settled.emplace_back(std::move(call->second.done),
                             Result::error(record.target == handle ? targetGone : callerGone));
        const auto next = std::next(call);
        forgetCall(call);
        call = next;
    }
}

Result RuntimeCore::createProvider(std::uint64_t handle, const std::string& channelName)
{
    Settled settled;
    Result created;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const ConnectionEntry& owner = connectionOf(handle);
        if (providerByChannel_.count(channelName) != 0)
            return Result::error("the channel " + inQuotes(channelName) + " already has a provider");

        // A channel's id carries its provider's serial.
        const std::uint64_t serial = nextSerial_++;
        const std::string providerId = idOf("provider", serial);
        auto endpoint =
            std::make_shared<const Endpoint>(Endpoint{owner.identity.uuid, "runtime-" + std::to_string(handle),
                                                      channelName, idOf("channel", serial), providerId});
        ProviderEntry& provider = providers_[providerId] = ProviderEntry{std::move(endpoint), handle, {}};
        providerByChannel_[channelName] = providerId;
        created = Result::ofText(providerId);

        // Connects that waited for this channel join in the order they came.
        for (auto wait = providerWaits_.begin(); wait != providerWaits_.end();) {
            if (wait->second.channelName != channelName) {
                ++wait;
                continue;
            }
            settled.emplace_back(std::move(wait->second.done), joinProvider(wait->second.handle, provider));
            wait = providerWaits_.erase(wait);
        }
    }
    run(settled);
    return created;
}

Result RuntimeCore::joinProvider(std::uint64_t handle, ProviderEntry& provider)
{
    const std::string clientId = idOf("client", nextSerial_++);
    const std::string& channelName = provider.endpoint->channelName;
    auto endpoint = std::make_shared<const Endpoint>(Endpoint{connectionOf(handle).identity.uuid,
                                                              "runtime-" + std::to_string(handle), channelName,
                                                              provider.endpoint->channelId, clientId});
    provider.clients.insert(clientId);
    clients_[clientId] = ClientEntry{endpoint, handle, provider.endpoint->endpointId};
    send(provider.handle, Event{event_type::providerClientConnected, std::move(endpoint), channelName, {}, {}});
    return Result::ofText(clientId);
}

void RuntimeCore::connectToProvider(std::uint64_t handle, const std::string& channelName, bool wait, CallerContext,
                                    Completion done)
{
    Result result;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const auto provider = providerByChannel_.find(channelName);
        if (connections_.count(handle) == 0) {
            result = unknownHandle(handle);
        } else if (provider != providerByChannel_.end()) {
            result = joinProvider(handle, providers_.at(provider->second));
        } else if (!wait) {
            result = Result::error("no provider is open for the channel " + inQuotes(channelName));
        } else {
            providerWaits_.emplace(nextRecord_++, ProviderWait{handle, channelName, std::move(done)});
            return;
        }
    }
    done(std::move(result));
}

Result RuntimeCore::disconnectFromProvider(std::uint64_t handle, const std::string& clientId)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    connectionOf(handle);
    const auto client = clients_.find(clientId);
    if (client == clients_.end() || client->second.handle != handle)
        return Result::error("the client " + inQuotes(clientId) + " is not connected to a channel of this runtime");
    const auto provider = providers_.find(client->second.providerId);
    if (provider != providers_.end()) {
        provider->second.clients.erase(clientId);
        send(provider->second.handle, Event{event_type::providerClientDisconnected,
                                            client->second.endpoint,
                                            provider->second.endpoint->channelName,
                                            {},
                                            {}});
    }
    clients_.erase(client);
    return Result::null();
}

void RuntimeCore::clientDispatch(std::uint64_t handle, std::string_view clientId, std::string topic,
                                 std::optional<PackedPayload> payload, CallerContext caller, Completion done)
{
    std::optional<Result> refused;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const auto client = clients_.find(clientId);
        if (connections_.count(handle) == 0) {
            refused = unknownHandle(handle);
        } else if (client == clients_.end() || client->second.handle != handle) {
            refused =
                Result::error("the client " + inQuotes(clientId) + " is not connected to a channel of this runtime");
        } else {
            const ProviderEntry& provider = providers_.at(client->second.providerId);
            refused = startCall(handle, provider.handle, caller,
                                Event{event_type::channelProviderMessage, client->second.endpoint,
                                      provider.endpoint->channelName, std::move(topic), std::move(payload)},
                                done);
        }
    }
    if (refused)
        done(std::move(*refused));
}

void RuntimeCore::dispatchToEndpoint(std::uint64_t handle, std::string_view providerId, std::string_view endpointId,
                                     std::string topic, std::optional<PackedPayload> payload, CallerContext caller,
                                     Completion done)
{
    std::optional<Result> refused;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const auto provider = providers_.find(providerId);
        const auto client = clients_.find(endpointId);
        if (connections_.count(handle) == 0)
            refused = unknownHandle(handle);
        else if (provider == providers_.end() || provider->second.handle != handle)
            refused = Result::error("the provider " + inQuotes(providerId) + " is not open in this runtime");
        else if (client == clients_.end() || client->second.providerId != providerId)
            refused =
                Result::error("the endpoint " + inQuotes(endpointId) + " is not a connected client of the channel " +
                              inQuotes(provider->second.endpoint->channelName));
        else
            refused = startCall(handle, client->second.handle, caller,
                                Event{event_type::channelMessage, provider->second.endpoint,
                                      provider->second.endpoint->channelName, std::move(topic), std::move(payload)},
                                done);
    }
    if (refused)
        done(std::move(*refused));
}

// An event thread that waits for `target` must not be the thread that
// `target` (or whoever `target` itself waits for) needs to answer.
bool RuntimeCore::wouldWaitOnItself(std::uint64_t target, std::uint64_t caller) const
{
    std::vector<std::uint64_t> reached{target};
    for (std::size_t next = 0; next < reached.size(); ++next) {
        if (reached[next] == caller)
            return true;
        const auto waits = eventThreadWaits_.equal_range(reached[next]);
        for (auto wait = waits.first; wait != waits.second; ++wait)
            if (std::find(reached.begin(), reached.end(), wait->second) == reached.end())
                reached.push_back(wait->second);
    }
    return false;
}

// Under the state lock, so the event keeps its place among the others the
// core decides. When the call cannot start, `done` is left to the caller
// and the refusal returned.
std::optional<Result> RuntimeCore::startCall(std::uint64_t requester, std::uint64_t target, CallerContext caller,
                                             Event event, Completion& done)
{
    if (caller.eventHandle != 0 && wouldWaitOnItself(target, caller.eventHandle))
        return Result::error("the call would wait for the event thread it was made from: a handler cannot wait "
                             "for a reply that its own runtime has to deliver");
    const auto targetEntry = connections_.find(target);
    if (targetEntry == connections_.end())
        return Result::error("the runtime that was to answer the call is not connected");

    const std::uint64_t id = nextRecord_++;
    const auto call = pendingCalls_.emplace(id, PendingCall{requester, target, caller.eventHandle, {}}).first;
    if (caller.eventHandle != 0)
        eventThreadWaits_.emplace(caller.eventHandle, target);
    std::weak_ptr<bool> alive = alive_;
    const bool queued = targetEntry->second.connection->deliver(std::move(event), [this, alive, id](Result reply) {
        if (alive.lock())
            completeCall(id, std::move(reply));
    });
    if (!queued) {
        forgetCall(call);
        return Result::error("the runtime that was to answer the call is not connected");
    }
    call->second.done = std::move(done);
    return std::nullopt;
}

void RuntimeCore::completeCall(std::uint64_t id, Result result)
{
    Completion done;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const auto call = pendingCalls_.find(id);
        if (call == pendingCalls_.end())
            return; // failed already
        done = std::move(call->second.done);
        forgetCall(call);
    }
    done(std::move(result));
}

Result RuntimeCore::launchManifest(std::uint64_t handle, const std::string& manifestUrl)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        connectionOf(handle);
    }
    return launcher_.launch(manifestUrl);
}

std::size_t RuntimeCore::pendingCount() const
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    return pendingCalls_.size() + providerWaits_.size();
}

void RuntimeCore::stopBackgroundWork()
{
    launcher_.stop();
}

CoreStatus RuntimeCore::status() const
{
    CoreStatus status;
    std::lock_guard<std::mutex> lock(stateMutex_);
    for (const auto& [handle, entry] : connections_)
        status.runtimes.push_back({handle, entry.identity.uuid});
    for (const auto& [channel, providerId] : providerByChannel_) {
        const ProviderEntry& provider = providers_.at(providerId);
        status.channels.push_back({channel, provider.handle, provider.clients.size()});
    }
    status.waitingCalls = pendingCalls_.size();
    status.waitingConnects = providerWaits_.size();
    return status;
}

} // namespace halvora::adapter
