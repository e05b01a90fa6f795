#include "core/RuntimeCore.h"

#include "core/RequestMap.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

namespace halvora::adapter {

// One call waiting for a runtime's reply. Completed exactly once: by the
// reply, or with an error when the runtime that should answer, or the event
// thread that waits, goes away.
class PendingCall {
public:
    PendingCall(std::uint64_t target, std::uint64_t waitingEventThread)
        : target(target), waitingEventThread(waitingEventThread)
    {}

    void complete(Result result)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (done_)
                return;
            done_ = true;
            result_ = std::move(result);
        }
        finished_.notify_all();
    }

    Result wait()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        finished_.wait(lock, [this] { return done_; });
        return std::move(result_);
    }

    const std::uint64_t target;
    const std::uint64_t waitingEventThread;

private:
    std::mutex mutex_; // guards done_ and result_
    std::condition_variable finished_;
    bool done_ = false;
    Result result_;
};

namespace {

std::string randomTag()
{
    std::random_device source;
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(source()));
    return text;
}

std::string inQuotes(const std::string& text)
{
    return "'" + text + "'";
}

} // namespace

RuntimeCore::RuntimeCore() : instanceTag_(randomTag()) {}

RuntimeCore::~RuntimeCore()
{
    stopBackgroundWork();
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

const RuntimeCore::ConnectionEntry& RuntimeCore::connectionOf(std::uint64_t handle) const
{
    const auto found = connections_.find(handle);
    if (found == connections_.end())
        throw RequestError("the runtime handle " + std::to_string(handle) + " is not connected");
    return found->second;
}

std::string RuntimeCore::nextEndpointId(const char* kind)
{
    return std::string(kind) + ":" + instanceTag_ + ":" + std::to_string(nextSerial_++);
}

// Queued under the state lock, so every runtime sees events in the order in
// which the core decided them.
void RuntimeCore::send(std::uint64_t handle, const Event& event)
{
    const auto found = connections_.find(handle);
    if (found != connections_.end())
        found->second.connection->deliver(encodeEvent(event), {});
}

std::shared_ptr<Connection> RuntimeCore::detach(std::uint64_t handle)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    const auto found = connections_.find(handle);
    if (found == connections_.end())
        return nullptr;
    std::shared_ptr<Connection> connection = std::move(found->second.connection);
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
                                                provider->second.endpoint.channelName,
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
        const Endpoint& endpoint = provider->second.endpoint;
        for (const std::string& clientId : provider->second.clients) {
            const auto client = clients_.find(clientId);
            if (client == clients_.end())
                continue;
            send(client->second.handle, Event{event_type::channelDisconnected, endpoint, endpoint.channelName, {}, {}});
            clients_.erase(client);
        }
        providerByChannel_.erase(endpoint.channelName);
        provider = providers_.erase(provider);
    }

    failCalls(handle, "the runtime that was to answer the call disconnected");
    providersChanged_.notify_all();
    return connection;
}

std::vector<std::shared_ptr<Connection>> RuntimeCore::detachAll(bool announce)
{
    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        ++detachAllCount_;
        for (auto& entry : connections_)
            connections.push_back(std::move(entry.second.connection));
        connections_.clear();
        clients_.clear();
        providers_.clear();
        providerByChannel_.clear();
        for (const auto& call : pendingCalls_)
            call->complete(Result::error("the adapter shut down before the call was answered"));
        eventThreadWaits_.clear();
        providersChanged_.notify_all();
    }
    std::vector<std::uint8_t> lastEvent;
    if (announce)
        lastEvent = encodeEvent(Event{event_type::adapterDisconnected, {}, {}, {}, {}});
    for (const auto& connection : connections)
        connection->close(lastEvent);
    return connections;
}

void RuntimeCore::failCalls(std::uint64_t handle, const std::string& message)
{
    for (const auto& call : pendingCalls_) {
        if (call->target == handle)
            call->complete(Result::error(message));
        else if (call->waitingEventThread == handle)
            call->complete(Result::error("the calling runtime disconnected before the call was answered"));
    }
    eventThreadWaits_.erase(handle);
}

Result RuntimeCore::createProvider(std::uint64_t handle, const std::string& channelName)
{
    std::lock_guard<std::mutex> lock(stateMutex_);
    const ConnectionEntry& owner = connectionOf(handle);
    if (providerByChannel_.count(channelName) != 0)
        return Result::error("the channel " + inQuotes(channelName) + " already has a provider");

    const std::string providerId = nextEndpointId("provider");
    Endpoint endpoint{owner.identity.uuid, "runtime-" + std::to_string(handle), channelName,
                      "channel:" + instanceTag_ + ":" + std::to_string(nextSerial_ - 1), providerId};
    providers_[providerId] = ProviderEntry{std::move(endpoint), handle, {}};
    providerByChannel_[channelName] = providerId;
    providersChanged_.notify_all();
    return Result::ofText(providerId);
}

Result RuntimeCore::connectToProvider(std::uint64_t handle, const std::string& channelName, bool wait, CallerContext)
{
    Lock lock(stateMutex_);
    connectionOf(handle);
    const std::uint64_t detachAllSeen = detachAllCount_;
    auto provider = providerByChannel_.find(channelName);
    if (provider == providerByChannel_.end() && !wait)
        return Result::error("no provider is open for the channel " + inQuotes(channelName));
    providersChanged_.wait(lock, [&] {
        provider = providerByChannel_.find(channelName);
        return provider != providerByChannel_.end() || connections_.count(handle) == 0;
    });
    if (connections_.count(handle) == 0)
        return Result::error((detachAllCount_ != detachAllSeen ? "the adapter shut down" : "the runtime disconnected") +
                             std::string(" while waiting for a provider of the channel ") + inQuotes(channelName));

    ProviderEntry& entry = providers_.at(provider->second);
    const std::string clientId = nextEndpointId("client");
    Endpoint endpoint{connectionOf(handle).identity.uuid, "runtime-" + std::to_string(handle), channelName,
                      entry.endpoint.channelId, clientId};
    entry.clients.insert(clientId);
    clients_[clientId] = ClientEntry{endpoint, handle, provider->second};
    send(entry.handle, Event{event_type::providerClientConnected, std::move(endpoint), channelName, {}, {}});
    return Result::ofText(clientId);
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
                                            provider->second.endpoint.channelName,
                                            {},
                                            {}});
    }
    clients_.erase(client);
    return Result::null();
}

Result RuntimeCore::clientDispatch(std::uint64_t handle, const std::string& clientId, const std::string& topic,
                                   std::optional<std::string> payload, CallerContext caller)
{
    Lock lock(stateMutex_);
    connectionOf(handle);
    const auto client = clients_.find(clientId);
    if (client == clients_.end() || client->second.handle != handle)
        return Result::error("the client " + inQuotes(clientId) + " is not connected to a channel of this runtime");
    const ProviderEntry& provider = providers_.at(client->second.providerId);
    return callAndWait(lock, provider.handle, caller,
                       Event{event_type::channelProviderMessage, client->second.endpoint, provider.endpoint.channelName,
                             topic, std::move(payload)});
}

Result RuntimeCore::dispatchToEndpoint(std::uint64_t handle, const std::string& providerId,
                                       const std::string& endpointId, const std::string& topic,
                                       std::optional<std::string> payload, CallerContext caller)
{
    Lock lock(stateMutex_);
    connectionOf(handle);
    const auto provider = providers_.find(providerId);
    if (provider == providers_.end() || provider->second.handle != handle)
        return Result::error("the provider " + inQuotes(providerId) + " is not open in this runtime");
    const auto client = clients_.find(endpointId);
    if (client == clients_.end() || client->second.providerId != providerId)
        return Result::error("the endpoint " + inQuotes(endpointId) + " is not a connected client of the channel " +
                             inQuotes(provider->second.endpoint.channelName));
    return callAndWait(lock, client->second.handle, caller,
                       Event{event_type::channelMessage, provider->second.endpoint,
                             provider->second.endpoint.channelName, topic, std::move(payload)});
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

Result RuntimeCore::callAndWait(Lock& lock, std::uint64_t target, CallerContext caller, const Event& event)
{
    if (caller.eventHandle != 0 && wouldWaitOnItself(target, caller.eventHandle))
        return Result::error("the call would wait for the event thread it was made from: a handler cannot wait "
                             "for a reply that its own runtime has to deliver");
    const auto targetEntry = connections_.find(target);
    if (targetEntry == connections_.end())
        return Result::error("the runtime that was to answer the call is not connected");

    auto call = std::make_shared<PendingCall>(target, caller.eventHandle);
    pendingCalls_.push_back(call);
    if (caller.eventHandle != 0)
        eventThreadWaits_.emplace(caller.eventHandle, target);
    if (!targetEntry->second.connection->deliver(encodeEvent(event),
                                                 [call](Result reply) { call->complete(std::move(reply)); }))
        call->complete(Result::error("the runtime that was to answer the call is not connected"));

    lock.unlock();
    Result result = call->wait();
    lock.lock();

    pendingCalls_.erase(std::find(pendingCalls_.begin(), pendingCalls_.end(), call));
    if (caller.eventHandle != 0) {
        // failCalls or detachAll may have dropped the entry already.
        const auto waits = eventThreadWaits_.equal_range(caller.eventHandle);
        for (auto it = waits.first; it != waits.second; ++it)
            if (it->second == target) {
                eventThreadWaits_.erase(it);
                break;
            }
    }
    return result;
}

Result RuntimeCore::launchManifest(std::uint64_t handle, const std::string& manifestUrl)
{
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        connectionOf(handle);
    }
    return launcher_.launch(manifestUrl);
}

void RuntimeCore::stopBackgroundWork()
{
    launcher_.stop();
}

} // namespace halvora::adapter
