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

// What both ends of a channel share: the channel name, the runtime handle and
// the topic handlers that answer incoming messages. Handlers run on the
// native adapter's event thread.
class HALVORA_ADAPTER_API MessageChannelClient {
public:
    using TopicHandler = std::function<std::shared_ptr<std::string>(std::shared_ptr<std::string>, EndpointId)>;

    MessageChannelClient(const MessageChannelClient&) = delete;
    MessageChannelClient& operator=(const MessageChannelClient&) = delete;
    ~MessageChannelClient();

    // Raises HalvoraApiException when the topic already has a handler or the
    // end has been reset.
    void registerTopic(const std::string& topic,
                       const std::function<std::shared_ptr<std::string>(std::shared_ptr<std::string>, EndpointId)>& handler);
    void unregisterTopic(const std::string& topic);

protected:
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
};

} // namespace HalvoraAdapterApi
