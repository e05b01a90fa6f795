#include <HalvoraAdapterApi/ChannelProvider.h>

#include "channels/ChannelErrors.h"
#include "channels/ChannelRequests.h"
#include "channels/ChannelWork.h"
#include "native/Bridge.h"

#include <utility>

namespace HalvoraAdapterApi {

// Lock order: stateMutex may be held while the base's mutex is taken (to
// read the handle), never the other way round.

namespace {

using Subscribers = std::vector<std::function<void(const EndpointId&)>>;

void notify(const Subscribers& subscribers, const EndpointId& endpoint)
{
    for (const auto& subscriber : subscribers) {
        subscriber(endpoint);
    }
}

// Room kept behind the payload for the provider's identity. Identities are
// far shorter; a longer one only costs a reallocation of the request.
constexpr std::size_t identityRoom = 64;

// The dispatch work proper, on the task-queue worker: the handle and identity
// are read when the work runs, not when it was queued.
std::shared_ptr<std::string> sendDispatch(unsigned long long handle, const std::shared_ptr<std::string>& identity,
                                          const EndpointId& endpoint, const std::string& topic,
                                          const detail::QueuedDispatch& queued)
{
    detail::throwIfReset(handle);
    if (!identity) {
        detail::throwProviderNotOpen();
    }
    if (queued.failure) {
        std::rethrow_exception(queued.failure);
    }
    std::shared_ptr<std::string> reply;
    detail::invokeNative(
        d_halvora_channels_client_dispatch_to_endpoint,
        detail::finishDispatchToEndpoint(std::move(*queued.request), endpoint, handle, *identity, topic), reply);
    return reply;
}

} // namespace

ChannelProvider::ChannelProvider(unsigned long long runtimeHandle, const std::string& channelName,
                                 detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue)
    : MessageChannelClient(runtimeHandle, channelName, futuresManager, taskQueue)
{}

ChannelProvider::~ChannelProvider() = default;

std::shared_future<void> ChannelProvider::openAsync()
{
    assertReady();
    std::shared_ptr<ChannelProvider> self = shared_from_this();
    return detail::startChannelWork(futuresManager, [self] {
        detail::CreateProviderRequest request;
        request.handle = self->getRuntimeHandle();
        detail::throwIfReset(request.handle);
        request.providerName = self->channelName;

        std::shared_ptr<std::string> identity;
        detail::invokeNative(d_halvora_channels_create_provider, request, identity);

        std::lock_guard<std::mutex> lock(self->stateMutex);
        // An identity stored after a reset would outlive its runtime.
        detail::throwIfReset(self->getRuntimeHandle());
        self->providerId = std::move(identity);
    });
}

void ChannelProvider::subscribeClientConnected(const std::function<void(const EndpointId&)>& callback)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    assertReady();
    clientConnectedSubscribers.push_back(callback);
}

void ChannelProvider::subscribeClientDisconnected(const std::function<void(const EndpointId&)>& callback)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    assertReady();
    clientDisconnectedSubscribers.push_back(callback);
}

void ChannelProvider::unsubscribeClientConnected(const std::function<void(const EndpointId&)>&)
{
    // Declared before the lock, so the callables are destroyed after it is released.
    Subscribers removed;
    std::lock_guard<std::mutex> lock(stateMutex);
    removed.swap(clientConnectedSubscribers);
}

void ChannelProvider::unsubscribeClientDisconnected(const std::function<void(const EndpointId&)>&)
{
    Subscribers removed;
    std::lock_guard<std::mutex> lock(stateMutex);
    removed.swap(clientDisconnectedSubscribers);
}

std::shared_future<std::shared_ptr<std::string>> ChannelProvider::dispatchAsync(const EndpointId& endpoint,
                                                                                const std::string& topic) const
{
    return queueDispatch(endpoint, topic, std::string(), true);
}

std::shared_future<std::shared_ptr<std::string>>
ChannelProvider::dispatchAsync(const EndpointId& endpoint, const std::string& topic, const std::string& payload) const
{
    return queueDispatch(endpoint, topic, payload, false);
}

std::shared_future<std::shared_ptr<std::string>> ChannelProvider::queueDispatch(const EndpointId& endpoint,
                                                                                const std::string& topic,
                                                                                const std::string& payload,
                                                                                bool isNull) const
{
    assertReady();
    std::shared_ptr<const ChannelProvider> self = shared_from_this();
    const detail::QueuedDispatch queued = detail::queuedDispatch(
        [&] { return detail::dispatchToEndpointTail(endpoint, topic, payload, isNull, identityRoom); });
    return detail::queueChannelWork(taskQueue, futuresManager, [self, endpoint, topic, queued] {
        const unsigned long long handle = self->getRuntimeHandle();
        std::unique_lock<std::mutex> lock(self->stateMutex);
        std::shared_ptr<std::string> identity = self->providerId;
        lock.unlock();
        return sendDispatch(handle, identity, endpoint, topic, queued);
    });
}

std::shared_future<std::shared_ptr<std::string>> ChannelProvider::broadcastAsync(const std::string& topic) const
{
    assertReady();
    std::shared_ptr<const ChannelProvider> self = shared_from_this();
    return detail::queueChannelWork(taskQueue, futuresManager, [self, topic] {
        std::unique_lock<std::mutex> lock(self->stateMutex);
        const bool open = self->providerId != nullptr;
        const std::unordered_set<EndpointId> clients = self->connectedClients;
        lock.unlock();
        self->assertReady();
        if (!open) {
            detail::throwProviderNotOpen();
        }
        for (const EndpointId& client : clients) {
            self->dispatchAsync(client, topic);
        }
        return std::make_shared<std::string>();
    });
}

std::shared_future<std::shared_ptr<std::string>> ChannelProvider::broadcastAsync(const std::string& topic,
                                                                                 const std::string& payload) const
{
    assertReady();
    std::shared_ptr<const ChannelProvider> self = shared_from_this();
    return detail::queueChannelWork(taskQueue, futuresManager, [self, topic, payload] {
        std::unique_lock<std::mutex> lock(self->stateMutex);
        const bool open = self->providerId != nullptr;
        const std::unordered_set<EndpointId> clients = self->connectedClients;
        lock.unlock();
        self->assertReady();
        if (!open) {
            detail::throwProviderNotOpen();
        }
        for (const EndpointId& client : clients) {
            self->dispatchAsync(client, topic, payload);
        }
        return std::make_shared<std::string>();
    });
}

void ChannelProvider::handleClientConnected(const EndpointId& endpoint)
{
    Subscribers subscribers;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        assertReady();
        connectedClients.insert(endpoint);
        subscribers = clientConnectedSubscribers;
    }
    notify(subscribers, endpoint);
}

void ChannelProvider::handleClientDisconnected(const EndpointId& endpoint)
{
    Subscribers subscribers;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        assertReady();
        connectedClients.erase(endpoint);
        subscribers = clientDisconnectedSubscribers;
    }
    notify(subscribers, endpoint);
}

void ChannelProvider::reset()
{
    MessageChannelClient::reset();
    std::unordered_set<EndpointId> clients;
    Subscribers connected;
    Subscribers disconnected;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        clients.swap(connectedClients);
        connected.swap(clientConnectedSubscribers);
        disconnected.swap(clientDisconnectedSubscribers);
    }
}

} // namespace HalvoraAdapterApi
