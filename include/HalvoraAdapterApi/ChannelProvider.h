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

/// @brief The provider end of a named channel: opens the channel in the
/// runtime, keeps the set of connected clients and dispatches to one or all.
///
/// Obtained from Channels::createProvider (one per channel name). Every
/// operation is safe to call from any thread; futures always become ready, with
/// failures as HalvoraApiException.
class HALVORA_ADAPTER_API ChannelProvider : public MessageChannelClient,
                                            public std::enable_shared_from_this<ChannelProvider> {
public:
    /// @brief Releases the provider; nothing is sent to the runtime.
    ~ChannelProvider();

    /// @brief Opens the channel in the runtime on a thread of its own. The
    /// future raises HalvoraApiException with the runtime's message (for
    /// example when another provider holds the name).
    std::shared_future<void> openAsync();

    /// @brief Calls @p callback with each client that connects. Runs on the
    /// native adapter's event thread.
    void subscribeClientConnected(const std::function<void(const EndpointId&)>& callback);
    /// @brief Calls @p callback with each client that disconnects. Runs on the
    /// native adapter's event thread.
    void subscribeClientDisconnected(const std::function<void(const EndpointId&)>& callback);
    /// @brief Removes every client-connected subscriber.
    void unsubscribeClientConnected(const std::function<void(const EndpointId&)>& callback);
    /// @brief Removes every client-disconnected subscriber.
    void unsubscribeClientDisconnected(const std::function<void(const EndpointId&)>& callback);

    /// @brief Sends a message without payload to one connected client's
    /// handler of @p topic, through the runtime's task queue.
    /// @return The client's reply text, or an empty pointer for no value;
    ///         HalvoraApiException for the client's failure, "The channel
    ///         provider is not open", or a disconnected runtime.
    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const EndpointId& endpoint,
                                                                   const std::string& topic) const;
    /// @brief As dispatchAsync(endpoint, topic), with @p payload as the message.
    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const EndpointId& endpoint, const std::string& topic,
                                                                   const std::string& payload) const;
    /// @brief Dispatches a message without payload to every connected client.
    /// The future is ready once every dispatch has been queued; their replies
    /// do not reach it.
    std::shared_future<std::shared_ptr<std::string>> broadcastAsync(const std::string& topic) const;
    /// @brief As broadcastAsync(topic), with @p payload as the message.
    std::shared_future<std::shared_ptr<std::string>> broadcastAsync(const std::string& topic,
                                                                    const std::string& payload) const;

private:
    /// @cond INTERNAL
    ChannelProvider(unsigned long long runtimeHandle, const std::string& channelName,
                    detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue);

    // Both dispatches to one endpoint: the request is written when queued,
    // the handle and identity read when the work runs.
    std::shared_future<std::shared_ptr<std::string>> queueDispatch(const EndpointId& endpoint, const std::string& topic,
                                                                   const std::string& payload, bool isNull) const;
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
    /// @endcond
};

} // namespace HalvoraAdapterApi
