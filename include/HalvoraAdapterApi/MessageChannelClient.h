#pragma once

#include <HalvoraAdapterApi/EndpointId.h>
#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/detail/Forward.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace HalvoraAdapterApi {

class Channels;

/// @brief What both ends of a channel share: the channel name, the runtime
/// connection and the topic handlers that answer incoming messages.
///
/// Handlers run on the native adapter's event thread of the runtime that owns
/// this end. A handler may call back into the library (register or unregister
/// topics, create channel ends, dispatch), but must not wait for an answer that
/// the same event thread would have to deliver.
class HALVORA_ADAPTER_API MessageChannelClient {
public:
    /// @brief Answers one message: takes the payload (empty when the message
    /// has none) and the sender, returns the reply text (empty for no value).
    using TopicHandler = std::function<std::shared_ptr<std::string>(std::shared_ptr<std::string>, EndpointId)>;

    MessageChannelClient(const MessageChannelClient&) = delete;
    MessageChannelClient& operator=(const MessageChannelClient&) = delete;
    /// @brief Drops the handlers; nothing is sent to the runtime.
    ~MessageChannelClient();

    /// @brief Registers the handler that answers messages of @p topic.
    /// Topics are compared byte by byte.
    /// @throws HalvoraApiException "Subscription already registered for topic: <topic>.
    ///         Unsubscribe before adding a new subscription" when the topic has a handler,
    ///         or "The runtime is not connected" once the runtime has disconnected.
    void
    registerTopic(const std::string& topic,
                  const std::function<std::shared_ptr<std::string>(std::shared_ptr<std::string>, EndpointId)>& handler);
    /// @brief Removes the handler of @p topic, if any. Never raises.
    void unregisterTopic(const std::string& topic);

protected:
    /// @cond INTERNAL
    MessageChannelClient(unsigned long long runtimeHandle, const std::string& channelName,
                         detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue);

    void assertReady() const;
    std::shared_ptr<std::string> onChannelMessage(const std::string& topic, const std::shared_ptr<std::string>& payload,
                                                  const EndpointId& source);
    void reset();
    unsigned long long getRuntimeHandle() const;

    // Guards runtimeHandle and topicHandlers.
    mutable std::mutex mutex;
    std::map<std::string, TopicHandler> topicHandlers;
    unsigned long long runtimeHandle;
    const std::string channelName;
    detail::FuturesManager& futuresManager;
    detail::TaskQueue& taskQueue;

    friend class Channels;
    /// @endcond
};

} // namespace HalvoraAdapterApi
