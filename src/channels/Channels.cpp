#include <HalvoraAdapterApi/Channels.h>

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "channels/ChannelMessage.h"

#include <utility>

namespace HalvoraAdapterApi {

Channels::Channels(unsigned long long runtimeHandle, detail::FuturesManager& futuresManager,
                   detail::TaskQueue& taskQueue)
    : runtimeHandle(runtimeHandle), futuresManager(futuresManager), taskQueue(taskQueue)
{}

Channels::Channels(const Channels& other) : futuresManager(other.futuresManager), taskQueue(other.taskQueue)
{
    std::lock_guard<std::mutex> lock(other.registryMutex);
    runtimeHandle = other.runtimeHandle;
    clients = other.clients;
    providers = other.providers;
}

Channels::Channels(Channels&& other) : futuresManager(other.futuresManager), taskQueue(other.taskQueue)
{
    std::lock_guard<std::mutex> lock(other.registryMutex);
    runtimeHandle = other.runtimeHandle;
    // Left empty, not merely "valid but unspecified".
    clients = std::exchange(other.clients, {});
    providers = std::exchange(other.providers, {});
}

// Members go in reverse order of declaration: the providers, then the clients.
Channels::~Channels() = default;

std::shared_ptr<ChannelClient> Channels::createClient(const std::string& channelName)
{
    struct MakeSharedEnabler : ChannelClient {
        MakeSharedEnabler(unsigned long long handle, const std::string& name, detail::FuturesManager& futures,
                          detail::TaskQueue& queue)
            : ChannelClient(handle, name, futures, queue)
        {}
    };
    std::lock_guard<std::mutex> lock(registryMutex);
    assertReady();
    std::shared_ptr<ChannelClient> client =
        std::make_shared<MakeSharedEnabler>(runtimeHandle, channelName, futuresManager, taskQueue);
    clients[channelName].push_back(client);
    return client;
}

std::shared_ptr<ChannelProvider> Channels::createProvider(const std::string& channelName)
{
    struct MakeSharedEnabler : ChannelProvider {
        MakeSharedEnabler(unsigned long long handle, const std::string& name, detail::FuturesManager& futures,
                          detail::TaskQueue& queue)
            : ChannelProvider(handle, name, futures, queue)
        {}
    };
    std::lock_guard<std::mutex> lock(registryMutex);
    assertReady();
    if (providers.count(channelName) != 0) {
        throw HalvoraApiException("A provider has already been created with this channel name");
    }
    std::shared_ptr<ChannelProvider> provider =
        std::make_shared<MakeSharedEnabler>(runtimeHandle, channelName, futuresManager, taskQueue);
    providers.emplace(channelName, provider);
    return provider;
}

std::shared_ptr<std::string> Channels::onRuntimeEvent(const detail::ChannelMessage& message)
{
    const bool clientEvent =
        message.type == detail::EventType::ChannelMessage || message.type == detail::EventType::ChannelDisconnected;
    std::vector<std::shared_ptr<ChannelClient>> servedClients;
    std::shared_ptr<ChannelProvider> provider;
    {
        // Handlers run on copies taken here, so that they may create further
        // channel ends without deadlock and a growing list cannot disturb us.
        std::lock_guard<std::mutex> lock(registryMutex);
        assertReady();
        if (clientEvent) {
            auto found = clients.find(message.channelName);
            if (found != clients.end()) {
                servedClients = found->second;
            }
        } else {
            auto found = providers.find(message.channelName);
            if (found != providers.end()) {
                provider = found->second;
            }
        }
    }

    const std::shared_ptr<std::string>& payload = message.payload;

    if (message.type == detail::EventType::ChannelDisconnected) {
        for (const auto& client : servedClients) {
            client->onDisconnected();
        }
        return nullptr;
    }
    if (message.type == detail::EventType::ChannelMessage) {
        // Every client is served; the first one that answers gives the reply,
        // so that a provider's dispatch to an endpoint can hear back.
        std::shared_ptr<std::string> reply;
        for (const auto& client : servedClients) {
            std::shared_ptr<std::string> answer = client->onChannelMessage(message.topic, payload, message.endpoint);
            if (!reply && answer) {
                reply = std::move(answer);
            }
        }
        return reply;
    }
    if (!provider) {
        return nullptr;
    }
    if (message.type == detail::EventType::ProviderClientConnected) {
        provider->handleClientConnected(message.endpoint);
    } else if (message.type == detail::EventType::ProviderClientDisconnected) {
        provider->handleClientDisconnected(message.endpoint);
    } else if (message.type == detail::EventType::ChannelProviderMessage) {
        return provider->onChannelMessage(message.topic, payload, message.endpoint);
    }
    return nullptr;
}

void Channels::assertReady() const
{
    if (runtimeHandle == 0) {
        throw HalvoraApiException("The runtime has disconnected");
    }
}

void Channels::reset()
{
    std::map<std::string, std::vector<std::shared_ptr<ChannelClient>>> oldClients;
    std::map<std::string, std::shared_ptr<ChannelProvider>> oldProviders;
    {
        std::lock_guard<std::mutex> lock(registryMutex);
        runtimeHandle = 0;
        oldClients.swap(clients);
        oldProviders.swap(providers);
    }
    for (const auto& entry : oldProviders) {
        entry.second->reset();
    }
    for (const auto& entry : oldClients) {
        for (const auto& client : entry.second) {
            client->reset();
        }
    }
    oldClients.clear();
    oldProviders.clear();
}

} // namespace HalvoraAdapterApi
