#pragma once

#include <HalvoraAdapterApi/ChannelClient.h>
#include <HalvoraAdapterApi/ChannelProvider.h>
#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/detail/Forward.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace HalvoraAdapterApi {

class Runtime;

/// @brief The channel registry of one runtime connection: creates channel
/// ends by name (many clients, one provider per name) and routes the runtime's
/// channel events to them.
///
/// Obtained from Runtime::getChannels; a new connection gets a new registry.
/// The registry keeps every end it created alive until the runtime
/// disconnects. Safe to use from any thread.
class HALVORA_ADAPTER_API Channels {
public:
    /// @brief A second registry holding the same ends; only the runtime's own
    /// registry receives events.
    Channels(const Channels& other);
    /// @brief Takes over the ends of @p other, which is left empty.
    Channels(Channels&& other);
    /// @brief Releases the ends without resetting them.
    ~Channels();

    /// @brief A new, not yet connected client of @p channelName (any string).
    /// @throws HalvoraApiException "The runtime has disconnected".
    std::shared_ptr<ChannelClient> createClient(const std::string& channelName);
    /// @brief The provider of @p channelName, not yet open.
    /// @throws HalvoraApiException "A provider has already been created with
    ///         this channel name", or "The runtime has disconnected".
    std::shared_ptr<ChannelProvider> createProvider(const std::string& channelName);

    /// @brief Routes one decoded channel event to its ends and returns the
    /// reply for the runtime (empty when the event has none). Called by the
    /// library on the native adapter's event thread.
    std::shared_ptr<std::string> onRuntimeEvent(const detail::ChannelMessage& message);

private:
    /// @cond INTERNAL
    Channels(unsigned long long runtimeHandle, detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue);

    // Called with registryMutex held, so that the check and the work that
    // follows it see the same registry.
    void assertReady() const;
    void reset();

    // Guards runtimeHandle, clients and providers.
    mutable std::mutex registryMutex;
    unsigned long long runtimeHandle;
    detail::FuturesManager& futuresManager;
    detail::TaskQueue& taskQueue;
    std::map<std::string, std::vector<std::shared_ptr<ChannelClient>>> clients;
    std::map<std::string, std::shared_ptr<ChannelProvider>> providers;

    friend class Runtime;
    /// @endcond
};

} // namespace HalvoraAdapterApi
