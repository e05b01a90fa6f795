// A channel registry on the native test double, with the runtime's task queue
// and futures manager, for the channel tests.
#pragma once

#include <HalvoraAdapterApi/Channels.h>
#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "ChannelsAccess.h"
#include "NativeDouble.h"
#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>

namespace HalvoraTest {

inline constexpr unsigned long long kHandle = 7;
inline const char* const kConnect = "d_halvora_channels_connect_to_provider";
inline const char* const kDisconnect = "d_halvora_channels_disconnect_from_provider";
inline const char* const kClientDispatch = "d_halvora_channels_client_dispatch";
inline const char* const kDispatchToEndpoint = "d_halvora_channels_client_dispatch_to_endpoint";
inline const char* const kCreateProvider = "d_halvora_channels_create_provider";

inline EndpointFields fields(const std::string& id)
{
    return EndpointFields{"uuid-" + id, "app-" + id, "news", "chan-" + id, id};
}

inline HalvoraAdapterApi::EndpointId endpoint(const std::string& id)
{
    const EndpointFields f = fields(id);
    return HalvoraAdapterApi::EndpointId{f.uuid, f.name, f.channelName, f.channelId, f.endpointId};
}

// Waits a bounded time, so a lost completion fails the test instead of hanging it.
template <typename Future>
auto await(const Future& future)
{
    if (future.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        throw std::runtime_error("operation did not complete");
    }
    return future.get();
}

// The text of the HalvoraApiException that running `action` raises, or "" if none.
template <typename Action>
std::string apiError(Action&& action)
{
    try {
        action();
    } catch (const HalvoraAdapterApi::HalvoraApiException& e) {
        return e.what();
    }
    return "";
}

class ChannelHarness : public ::testing::Test {
protected:
    using Access = HalvoraAdapterApi::detail::ChannelsAccess;

    ChannelHarness()
    {
        NativeDouble::instance().reset();
        queue.start();
        channels = Access::create(kHandle, futures, queue);
    }
    void TearDown() override
    {
        queue.stop();
        EXPECT_EQ(native().outstandingBuffers(), 0u);
        EXPECT_EQ(native().invalidReleases(), 0u);
    }

    static NativeDouble& native() { return NativeDouble::instance(); }

    std::shared_ptr<std::string> deliver(const std::vector<std::uint8_t>& event)
    {
        return Access::deliver(*channels, event);
    }

    std::shared_ptr<HalvoraAdapterApi::ChannelClient> connectedClient(const std::string& channel,
                                                                      const std::string& identity)
    {
        native().script(kConnect, Result::text(identity));
        auto client = channels->createClient(channel);
        await(client->connectAsync(true));
        return client;
    }

    std::shared_ptr<HalvoraAdapterApi::ChannelProvider> openProvider(const std::string& channel,
                                                                     const std::string& identity)
    {
        native().script(kCreateProvider, Result::text(identity));
        auto provider = channels->createProvider(channel);
        await(provider->openAsync());
        return provider;
    }

    // Destroyed in reverse: the registry, then the queue (draining), then the
    // futures manager, as a runtime does.
    HalvoraAdapterApi::detail::FuturesManager futures;
    HalvoraAdapterApi::detail::TaskQueue queue;
    std::shared_ptr<HalvoraAdapterApi::Channels> channels;
};

} // namespace HalvoraTest
