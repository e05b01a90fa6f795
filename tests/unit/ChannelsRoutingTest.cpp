#include "ChannelHarness.h"

#include <gmock/gmock.h>

#include <stdexcept>
#include <vector>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using ::testing::ElementsAre;

namespace {

using TheChannelRegistry = ChannelHarness;

MessageChannelClient::TopicHandler answer(std::vector<std::string>& log, const std::string& name,
                                          std::shared_ptr<std::string> reply)
{
    return [&log, name, reply](std::shared_ptr<std::string> payload, EndpointId source) {
        log.push_back(name + ":" + (payload ? *payload : "<null>") + "@" + source.endpointId);
        return reply;
    };
}

TEST_F(TheChannelRegistry, CarriesAConversationBetweenAProviderAndTwoClients)
{
    auto provider = openProvider("news", "provider-1");
    std::vector<std::string> log;
    provider->registerTopic("ask", answer(log, "provider", std::make_shared<std::string>("42")));
    auto first = connectedClient("news", "client-1");
    auto second = connectedClient("news", "client-2");
    first->registerTopic("update", answer(log, "first", nullptr));
    second->registerTopic("update", answer(log, "second", std::make_shared<std::string>("seen")));

    deliver(channelEvent("ProviderClientConnected", fields("c1"), "news"));
    deliver(channelEvent("ProviderClientConnected", fields("c2"), "news"));
    EXPECT_EQ(*deliver(channelEvent("ChannelProviderMessage", fields("c1"), "news", "ask", "{}")), "42");
    EXPECT_EQ(deliver(channelEvent("ChannelProviderMessage", fields("c1"), "news", "other")), nullptr);
    // Every client is served; the first non-null answer is the provider's reply.
    EXPECT_EQ(*deliver(channelEvent("ChannelMessage", fields("p"), "news", "update", "", true)), "seen");
    EXPECT_THAT(log, ElementsAre("provider:{}@c1", "first:<null>@p", "second:<null>@p"));

    await(provider->broadcastAsync("update"));
    await(provider->dispatchAsync(endpoint("fence"), "fence"));
    EXPECT_EQ(native().callCount(kDispatchToEndpoint), 3u);
}

TEST_F(TheChannelRegistry, TellsEveryClientOfTheNameThatTheChannelDisconnected)
{
    std::vector<std::string> told;
    auto first = channels->createClient("news");
    auto second = channels->createClient("news");
    auto elsewhere = channels->createClient("sport");
    first->subscribeDisconnected([&] { told.push_back("first-a"); });
    first->subscribeDisconnected([&] { told.push_back("first-b"); });
    second->subscribeDisconnected([&] { told.push_back("second"); });
    elsewhere->subscribeDisconnected([&] { told.push_back("elsewhere"); });

    EXPECT_EQ(deliver(channelEvent("ChannelDisconnected", fields("p"), "news")), nullptr);
    second->unsubscribeDisconnected([] {});
    deliver(channelEvent("ChannelDisconnected", fields("p"), "news"));
    EXPECT_THAT(told, ElementsAre("first-a", "first-b", "second", "first-a", "first-b"));
}

TEST_F(TheChannelRegistry, IgnoresEventsThatMatchNothing)
{
    std::vector<std::string> log;
    auto client = channels->createClient("news");
    client->registerTopic("update", answer(log, "client", std::make_shared<std::string>("x")));
    auto provider = channels->createProvider("news");
    provider->registerTopic("update", answer(log, "provider", std::make_shared<std::string>("x")));

    const std::vector<std::vector<std::uint8_t>> ignored = {
        channelEvent("ChannelMessage", fields("p"), "News", "update"),
        channelEvent("ChannelMessage", fields("p"), "news", "Update"),
        channelEvent("channelprovidermessage", fields("p"), "news", "update"),
        channelEvent("ChannelProviderMessage", fields("p"), "sport", "update"),
        channelEvent("Unknown", fields("p"), "news", "update"),
        hexBytes("90"),          // empty array
        hexBytes("a3 61 62 63"), // not an array
        hexBytes("c0"),
    };
    for (const auto& event : ignored) {
        EXPECT_EQ(deliver(event), nullptr);
    }
    EXPECT_TRUE(log.empty());
}

TEST_F(TheChannelRegistry, KeepsOneProviderPerNameAndTopicsOnePerHandler)
{
    auto provider = channels->createProvider("news");
    EXPECT_EQ(apiError([&] { channels->createProvider("news"); }),
              "A provider has already been created with this channel name");
    EXPECT_NO_THROW(channels->createProvider("sport"));

    provider->registerTopic("t", nullptr);
    EXPECT_EQ(apiError([&] { provider->registerTopic("t", nullptr); }),
              "Subscription already registered for topic: t. Unsubscribe before adding a new subscription");
    provider->unregisterTopic("t");
    EXPECT_NO_THROW(provider->registerTopic("t", nullptr));
}

TEST_F(TheChannelRegistry, PropagatesAThrowingHandlerAndStaysUsable)
{
    std::vector<std::string> log;
    auto first = channels->createClient("news");
    auto second = channels->createClient("news");
    first->registerTopic("t", [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> {
        throw std::runtime_error("handler failed");
    });
    second->registerTopic("t", answer(log, "second", nullptr));
    auto provider = channels->createProvider("news");
    provider->subscribeClientConnected(nullptr);

    EXPECT_THROW(deliver(channelEvent("ChannelMessage", fields("p"), "news", "t")), std::runtime_error);
    EXPECT_THROW(deliver(channelEvent("ProviderClientConnected", fields("c"), "news")), std::bad_function_call);
    EXPECT_TRUE(log.empty()); // the second client was not served

    first->unregisterTopic("t");
    deliver(channelEvent("ChannelMessage", fields("p"), "news", "t"));
    EXPECT_THAT(log, ElementsAre("second:@p"));
}

TEST_F(TheChannelRegistry, LetsHandlersChangeTheRegistryFromInsideTheirCallback)
{
    auto client = channels->createClient("news");
    std::shared_ptr<ChannelClient> created;
    client->registerTopic("t", [&](std::shared_ptr<std::string>, EndpointId) {
        created = channels->createClient("news");
        client->unregisterTopic("t");
        client->registerTopic("t2", nullptr);
        return std::make_shared<std::string>("done");
    });
    EXPECT_EQ(*deliver(channelEvent("ChannelMessage", fields("p"), "news", "t")), "done");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(deliver(channelEvent("ChannelMessage", fields("p"), "news", "t")), nullptr);
}

TEST_F(TheChannelRegistry, TearsEverythingDownOnReset)
{
    auto provider = openProvider("news", "provider-1");
    auto client = connectedClient("news", "client-1");
    bool told = false;
    client->registerTopic("t", nullptr);
    client->subscribeDisconnected([&] { told = true; });
    Access::reset(*channels);

    EXPECT_EQ(apiError([&] { channels->createClient("news"); }), "The runtime has disconnected");
    EXPECT_EQ(apiError([&] { channels->createProvider("other"); }), "The runtime has disconnected");
    EXPECT_EQ(apiError([&] { deliver(channelEvent("ChannelDisconnected", fields("p"), "news")); }),
              "The runtime has disconnected");
    EXPECT_EQ(apiError([&] { client->dispatchAsync("t"); }), "The runtime is not connected");
    EXPECT_EQ(apiError([&] { provider->registerTopic("t", nullptr); }), "The runtime is not connected");
    EXPECT_EQ(apiError([&] { provider->subscribeClientConnected(nullptr); }), "The runtime is not connected");
    EXPECT_NO_THROW(provider->unsubscribeClientConnected(nullptr));
    EXPECT_FALSE(told);
}

} // namespace
