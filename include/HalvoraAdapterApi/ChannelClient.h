#pragma once

#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/MessageChannelClient.h>

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace HalvoraAdapterApi {

// The client end of a named channel: connects to the channel's provider,
// dispatches topic messages to it and answers the provider's messages
// through its topic handlers.
class HALVORA_ADAPTER_API ChannelClient : public MessageChannelClient,
                                          public std::enable_shared_from_this<ChannelClient> {
public:
    ~ChannelClient();

    std::shared_future<void> connectAsync(bool wait);
    std::shared_future<void> disconnectAsync() const;
    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const std::string& topic) const;
    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const std::string& topic,
                                                                   const std::string& payload) const;

    // Subscribers run on the native adapter's event thread.
    void subscribeDisconnected(const std::function<void()>& callback);
    // Removes every disconnection subscriber.
    void unsubscribeDisconnected(const std::function<void()>& callback);

private:
    ChannelClient(unsigned long long runtimeHandle, const std::string& channelName,
                  detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue);

    void onDisconnected() const;
    void reset();

    std::shared_ptr<const std::string> identity() const;

    // Guards clientId and disconnectedSubscribers.
    mutable std::mutex stateMutex;
    std::shared_ptr<std::string> clientId;
    std::vector<std::function<void()>> disconnectedSubscribers;

    friend class Channels;
    friend struct detail::ChannelsAccess;
};

} // namespace HalvoraAdapterApi
