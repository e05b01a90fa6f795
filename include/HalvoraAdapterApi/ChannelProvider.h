#pragma once

#include <HalvoraAdapterApi/EndpointId.h>
#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/MessageChannelClient.h>

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace HalvoraAdapterApi {

// The provider end of a named channel: opens the channel in the runtime,
// keeps the set of connected clients and dispatches to one or all of them.
class HALVORA_ADAPTER_API ChannelProvider : public MessageChannelClient,
                                            public std::enable_shared_from_this<ChannelProvider> {
public:
    ~ChannelProvider();

    std::shared_future<void> openAsync();

    // Subscribers run on the native adapter's event thread.
    void subscribeClientConnected(const std::function<void(const EndpointId&)>& callback);
    void subscribeClientDisconnected(const std::function<void(const EndpointId&)>& callback);
    // Each removes every subscriber of its kind.
    void unsubscribeClientConnected(const std::function<void(const EndpointId&)>& callback);
    void unsubscribeClientDisconnected(const std::function<void(const EndpointId&)>& callback);

    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const EndpointId& endpoint,
                                                                   const std::string& topic) const;
    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const EndpointId& endpoint, const std::string& topic,
                                                                   const std::string& payload) const;
    std::shared_future<std::shared_ptr<std::string>> broadcastAsync(const std::string& topic) const;
    std::shared_future<std::shared_ptr<std::string>> broadcastAsync(const std::string& topic,
                                                                    const std::string& payload) const;

private:
    ChannelProvider(unsigned long long runtimeHandle, const std::string& channelName,
                    detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue);

    void handleClientConnected(const EndpointId& endpoint);
    void handleClientDisconnected(const EndpointId& endpoint);
    void reset();

    // Guards providerId, connectedClients and both subscriber lists.
    mutable std::mutex stateMutex;
    std::shared_ptr<std::string> providerId;
    std::unordered_set<EndpointId> connectedClients;
    std::vector<std::function<void(const EndpointId&)>> clientConnectedSubscribers;
    std::vector<std::function<void(const EndpointId&)>> clientDisconnectedSubscribers;

    friend class Channels;
    friend struct detail::ChannelsAccess;
};

} // namespace HalvoraAdapterApi
