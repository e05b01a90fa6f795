#include <HalvoraAdapterApi/ChannelClient.h>

#include "channels/ChannelErrors.h"
#include "channels/ChannelRequests.h"
#include "channels/ChannelWork.h"
#include "native/Bridge.h"

#include <exception>
#include <utility>

namespace HalvoraAdapterApi {

// Lock order: stateMutex may be held while the base's mutex is taken (to
// read the handle), never the other way round.

ChannelClient::ChannelClient(unsigned long long runtimeHandle, const std::string& channelName,
                             detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue)
    : MessageChannelClient(runtimeHandle, channelName, futuresManager, taskQueue)
{}

ChannelClient::~ChannelClient() = default;

std::shared_future<void> ChannelClient::connectAsync(bool wait)
{
    std::shared_ptr<ChannelClient> self = shared_from_this();
    return detail::startChannelWork(futuresManager, [self, wait] {
        detail::ConnectToProviderRequest request;
        request.handle = self->getRuntimeHandle();
        // A reset client has no runtime to connect through.
        detail::throwIfReset(request.handle);
        request.providerName = self->channelName;
        request.wait = wait;

        std::shared_ptr<std::string> identity;
        detail::invokeNative(d_halvora_channels_connect_to_provider, request, identity);

        std::lock_guard<std::mutex> lock(self->stateMutex);
        // Checked again under stateMutex: an identity stored after a reset
        // would outlive the runtime it belongs to.
        detail::throwIfReset(self->getRuntimeHandle());
        self->clientId = std::move(identity);
    });
}

std::shared_future<void> ChannelClient::disconnectAsync() const
{
    std::shared_ptr<const ChannelClient> self = shared_from_this();
    return detail::startChannelWork(futuresManager, [self] {
        detail::DisconnectFromProviderRequest request;
        request.handle = self->getRuntimeHandle();
        std::shared_ptr<const std::string> identity = self->identity();
        if (!identity) {
            detail::throwClientNotConnected();
        }
        request.clientId = *identity;
        // An error reported by the adapter reaches the future rather than
        // passing as success.
        std::shared_ptr<std::string> ignored;
        detail::invokeNative(d_halvora_channels_disconnect_from_provider, request, ignored);
    });
}

namespace {

// The dispatch work proper, on the task-queue worker: the handle and identity
// are read when the work runs, not when it was queued.
std::shared_ptr<std::string> sendDispatch(unsigned long long handle, const std::shared_ptr<const std::string>& identity,
                                          const detail::QueuedDispatch& queued)
{
    if (queued.failure) {
        std::rethrow_exception(queued.failure);
    }
    detail::throwIfReset(handle);
    if (!identity) {
        detail::throwClientNotConnected();
    }
    std::shared_ptr<std::string> reply;
    detail::invokeNative(d_halvora_channels_client_dispatch,
                         detail::finishClientDispatch(std::move(*queued.request), handle, *identity), reply);
    return reply;
}

// Room kept in front of the payload for the client's identity. Identities
// are far shorter; a longer one only costs a copy of the request.
constexpr std::size_t identityRoom = 64;

} // namespace

std::shared_future<std::shared_ptr<std::string>> ChannelClient::dispatchAsync(const std::string& topic) const
{
    assertReady();
    std::shared_ptr<const ChannelClient> self = shared_from_this();
    const detail::QueuedDispatch queued =
        detail::queuedDispatch([&] { return detail::clientDispatchTail(topic, std::string(), true, identityRoom); });
    return detail::queueChannelWork(taskQueue, futuresManager, [self, queued] {
        return sendDispatch(self->getRuntimeHandle(), self->identity(), queued);
    });
}

std::shared_future<std::shared_ptr<std::string>> ChannelClient::dispatchAsync(const std::string& topic,
                                                                              const std::string& payload) const
{
    assertReady();
    std::shared_ptr<const ChannelClient> self = shared_from_this();
    // The payload is written into the request here, once: the caller's string
    // need not outlive this call.
    const detail::QueuedDispatch queued =
        detail::queuedDispatch([&] { return detail::clientDispatchTail(topic, payload, false, identityRoom); });
    return detail::queueChannelWork(taskQueue, futuresManager, [self, queued] {
        return sendDispatch(self->getRuntimeHandle(), self->identity(), queued);
    });
}

void ChannelClient::subscribeDisconnected(const std::function<void()>& callback)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    disconnectedSubscribers.push_back(callback);
}

void ChannelClient::unsubscribeDisconnected(const std::function<void()>&)
{
    // Declared before the lock, so the callables are destroyed after it is released.
    std::vector<std::function<void()>> removed;
    std::lock_guard<std::mutex> lock(stateMutex);
    removed.swap(disconnectedSubscribers);
}

void ChannelClient::onDisconnected() const
{
    std::vector<std::function<void()>> subscribers;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        subscribers = disconnectedSubscribers;
    }
    for (const std::function<void()>& subscriber : subscribers) {
        subscriber();
    }
}

void ChannelClient::reset()
{
    std::vector<std::function<void()>> removed;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        removed.swap(disconnectedSubscribers);
    }
    MessageChannelClient::reset();
    std::lock_guard<std::mutex> lock(stateMutex);
    clientId.reset();
}

std::shared_ptr<const std::string> ChannelClient::identity() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return clientId;
}

} // namespace HalvoraAdapterApi
