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

// The channel registry of one runtime connection: creates channel ends by
// name (many clients, one provider per name) and routes channel events to them.
class HALVORA_ADAPTER_API Channels {
public:
    Channels(const Channels& other);
    Channels(Channels&& other);
    ~Channels();

    std::shared_ptr<ChannelClient> createClient(const std::string& channelName);
    std::shared_ptr<ChannelProvider> createProvider(const std::string& channelName);

    // Routes one decoded channel event; returns the reply for the runtime
    // (empty when the event has none).
    std::shared_ptr<std::string> onRuntimeEvent(const detail::ChannelMessage& message);

private:
    Channels(unsigned long long runtimeHandle, detail::FuturesManager& futuresManager, detail::TaskQueue& taskQueue);

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
    friend struct detail::ChannelsAccess;
};

} // namespace HalvoraAdapterApi
