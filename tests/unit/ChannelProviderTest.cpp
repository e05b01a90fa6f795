#include "ChannelHarness.h"

#include <gmock/gmock.h>

#include <set>
#include <vector>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using ::testing::ElementsAre;

namespace {

using AChannelProvider = ChannelHarness;

std::vector<std::uint8_t> clientEvent(const std::string& type, const std::string& id)
{
    return channelEvent(type, fields(id), "news");
}

TEST_F(AChannelProvider, DispatchesToAnEndpointAndYieldsItsReply)
{
    auto provider = openProvider("news", "provider-1");
    const Value open = native().calls(kCreateProvider)[0].request;
    EXPECT_THAT(open.keys(), ElementsAre("handle", "provider_name"));
    EXPECT_EQ(open["provider_name"].str(), "news");
    native().script(kDispatchToEndpoint, Result::text("ack"));
    EXPECT_EQ(*await(provider->dispatchAsync(endpoint("a"), "update", "{}")), "ack");
    EXPECT_EQ(await(provider->dispatchAsync(endpoint("a"), "update")), nullptr);

    auto calls = native().calls(kDispatchToEndpoint);
    ASSERT_EQ(calls.size(), 2u);
    const Value& request = calls[0].request;
    EXPECT_THAT(request.keys(), ElementsAre("destination", "handle", "is_null", "payload_json", "source", "topic"));
    EXPECT_THAT(request["destination"].keys(),
                ElementsAre("channel_id", "channel_name", "endpoint_id", "name", "uuid"));
    EXPECT_EQ(request["destination"]["endpoint_id"].str(), "a");
    EXPECT_EQ(request["source"].str(), "provider-1");
    EXPECT_EQ(request["payload_json"].str(), "{}");
    EXPECT_FALSE(request["is_null"].boolean);
    EXPECT_TRUE(calls[1].request["is_null"].boolean);
}

TEST_F(AChannelProvider, TracksConnectedClientsAndTellsItsSubscribersEveryTime)
{
    auto provider = openProvider("news", "provider-1");
    std::vector<std::string> told;
    provider->subscribeClientConnected([&](const EndpointId& e) { told.push_back("+" + e.endpointId); });
    provider->subscribeClientDisconnected([&](const EndpointId& e) { told.push_back("-" + e.endpointId); });

    deliver(clientEvent("ProviderClientConnected", "a"));
    deliver(clientEvent("ProviderClientConnected", "a"));
    deliver(clientEvent("ProviderClientConnected", "b"));
    deliver(clientEvent("ProviderClientDisconnected", "b"));
    deliver(clientEvent("ProviderClientDisconnected", "never"));
    EXPECT_THAT(told, ElementsAre("+a", "+a", "+b", "-b", "-never"));

    await(provider->broadcastAsync("update"));
    await(provider->dispatchAsync(endpoint("z"), "fence")); // queued behind the broadcast's dispatches
    auto calls = native().calls(kDispatchToEndpoint);
    ASSERT_EQ(calls.size(), 2u); // "a" once, "b" gone
    EXPECT_EQ(calls[0].request["destination"]["endpoint_id"].str(), "a");
}

TEST_F(AChannelProvider, BroadcastsToEveryConnectedClient)
{
    auto provider = openProvider("news", "provider-1");
    for (const char* id : {"a", "b", "c"}) {
        deliver(clientEvent("ProviderClientConnected", id));
    }
    auto broadcast = await(provider->broadcastAsync("update", "{\"v\":2}"));
    ASSERT_NE(broadcast, nullptr);
    EXPECT_EQ(*broadcast, "");

    ASSERT_TRUE(native().waitForCalls(kDispatchToEndpoint, 3));
    std::set<std::string> destinations;
    for (const Call& call : native().calls(kDispatchToEndpoint)) {
        destinations.insert(call.request["destination"]["endpoint_id"].str());
        EXPECT_EQ(call.request["source"].str(), "provider-1");
        EXPECT_EQ(call.request["topic"].str(), "update");
        EXPECT_EQ(call.request["payload_json"].str(), "{\"v\":2}");
        EXPECT_FALSE(call.request["is_null"].boolean);
    }
    EXPECT_EQ(destinations, (std::set<std::string>{"a", "b", "c"}));
}

TEST_F(AChannelProvider, FailsWorkBeforeItIsOpenAndSendsNothing)
{
    auto provider = channels->createProvider("news");
    deliver(clientEvent("ProviderClientConnected", "a"));
    EXPECT_EQ(apiError([&] { await(provider->dispatchAsync(endpoint("a"), "t")); }),
              "The channel provider is not open");
    EXPECT_EQ(apiError([&] { await(provider->broadcastAsync("t")); }), "The channel provider is not open");
    EXPECT_EQ(native().callCount(kDispatchToEndpoint), 0u);
}

} // namespace
