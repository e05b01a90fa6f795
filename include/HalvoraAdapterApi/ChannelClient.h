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

/// @brief The client end of a named channel: connects to the channel's
/// provider, dispatches topic messages to it and answers the provider's
/// messages through its topic handlers.
///
/// Obtained from Channels::createClient. Every operation is safe to call from
/// any thread. Futures always become ready: failures, including work that the
/// runtime's disconnection abandons, arrive as HalvoraApiException.
class HALVORA_ADAPTER_API ChannelClient : public MessageChannelClient,
                                          public std::enable_shared_from_this<ChannelClient> {
public:
    /// @brief Releases the client; nothing is sent to the runtime.
    ~ChannelClient();

    /// @brief Connects to the channel's provider on a thread of its own.
    /// @param wait true to wait until a provider opens the channel; false to
    ///        fail at once when there is none.
    /// @return A future that raises HalvoraApiException with the runtime's
    ///         message when the connect fails, or "The runtime is not connected"
    ///         after the runtime disconnected.
    std::shared_future<void> connectAsync(bool wait);
    /// @brief Disconnects from the provider. The future raises
    /// HalvoraApiException "The channel is not connected" when the client never
    /// connected, or the runtime's error.
    std::shared_future<void> disconnectAsync() const;
    /// @brief Sends a message without payload to the provider's handler of
    /// @p topic, through the runtime's task queue (in call order).
    /// @return The provider's reply text, or an empty pointer when it answered
    ///         without value; HalvoraApiException for the provider's failure,
    ///         "The channel is not connected", or a disconnected runtime.
    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const std::string& topic) const;
    /// @brief As dispatchAsync(topic), with @p payload (JSON text) as the message.
    std::shared_future<std::shared_ptr<std::string>> dispatchAsync(const std::string& topic,
                                                                   const std::string& payload) const;

    /// @brief Calls @p callback when the provider goes away. Subscribers run on
    /// the native adapter's event thread.
    void subscribeDisconnected(const std::function<void()>& callback);
    /// @brief Removes every disconnection subscriber (functions cannot be
    /// compared, so the argument only names the intent).
    void unsubscribeDisconnected(const std::function<void()>& callback);

private:
    /// @cond INTERNAL
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
    /// @endcond
};

} // namespace HalvoraAdapterApi
