#include <HalvoraAdapterApi/MessageChannelClient.h>

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "channels/ChannelErrors.h"

namespace HalvoraAdapterApi {

MessageChannelClient::MessageChannelClient(unsigned long long runtimeHandle, const std::string& channelName,
                                           detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue)
    : runtimeHandle(runtimeHandle), channelName(channelName), futuresManager(futuresManager), taskQueue(taskQueue)
{}

MessageChannelClient::~MessageChannelClient() = default;

void MessageChannelClient::registerTopic(const std::string& topic, const TopicHandler& handler)
{
    std::lock_guard<std::mutex> lock(mutex);
    // Checked under the same lock as the insertion, so a reset cannot slip in
    // between and leave a handler on a reset end.
    detail::throwIfReset(runtimeHandle);
    if (topicHandlers.count(topic) != 0) {
        throw HalvoraApiException("Subscription already registered for topic: " + topic +
                                  ". Unsubscribe before adding a new subscription");
    }
    topicHandlers.emplace(topic, handler);
}

void MessageChannelClient::unregisterTopic(const std::string& topic)
{
    TopicHandler removed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = topicHandlers.find(topic);
        if (found == topicHandlers.end()) {
            return;
        }
        removed = std::move(found->second);
        topicHandlers.erase(found);
    }
    // `removed` goes out of scope here: the application's callable is
    // destroyed without the lock held.
}

void MessageChannelClient::assertReady() const
{
    detail::throwIfReset(getRuntimeHandle());
}

std::shared_ptr<std::string> MessageChannelClient::onChannelMessage(const std::string& topic,
                                                                    const std::shared_ptr<std::string>& payload,
                                                                    const EndpointId& source)
{
    TopicHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex);
        detail::throwIfReset(runtimeHandle);
        auto found = topicHandlers.find(topic);
        if (found == topicHandlers.end()) {
            return nullptr;
        }
        handler = found->second;
    }
    // Called on a copy so that the handler may register or unregister
    // topics, its own included.
    return handler(payload, source);
}

void MessageChannelClient::reset()
{
    std::map<std::string, TopicHandler> removed;
    {
        std::lock_guard<std::mutex> lock(mutex);
        runtimeHandle = 0;
        removed.swap(topicHandlers);
    }
}

unsigned long long MessageChannelClient::getRuntimeHandle() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return runtimeHandle;
}

} // namespace HalvoraAdapterApi
