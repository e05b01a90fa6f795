#include "AdapterFixture.h"

#include <future>
#include <set>

using namespace halvora::adapter::testing;

namespace {

class AChannel : public AdapterFixture {
protected:
    void SetUp() override
    {
        provider.connect();
        client.connect();
    }

    FakeRuntime provider{"provider-uuid"};
    FakeRuntime client{"client-uuid"};
};

TEST_F(AChannel, HasAtMostOneLiveProviderPerName)
{
    const Outcome first = provider.createProvider(channel());
    ASSERT_EQ(first.kind, Outcome::Kind::Text);
    const Outcome second = client.createProvider(channel());
    ASSERT_TRUE(second.isError());
    EXPECT_NE(second.text.find(channel()), std::string::npos) << second.text;
    EXPECT_EQ(client.createProvider(channel("-other")).kind, Outcome::Kind::Text);

    provider.disconnect();
    EXPECT_EQ(client.createProvider(channel()).kind, Outcome::Kind::Text) << "the name is free once its runtime left";
}

TEST_F(AChannel, RefusesAClientWithoutWaitWhenNoProviderIsOpen)
{
    const Outcome outcome = client.connectToProvider(channel(), false);
    ASSERT_TRUE(outcome.isError());
    EXPECT_NE(outcome.text.find(channel()), std::string::npos) << "the error names the channel: " << outcome.text;
}

TEST_F(AChannel, LetsAWaitingClientConnectOnceTheProviderAppears)
{
    auto connecting = std::async(std::launch::async, [&] { return client.connectToProvider(channel(), true); });
    EXPECT_EQ(connecting.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    provider.createProvider(channel());
    ASSERT_EQ(connecting.wait_for(FakeRuntime::patience), std::future_status::ready);
    EXPECT_EQ(connecting.get().kind, Outcome::Kind::Text);
    EXPECT_TRUE(provider.waitForEvent("ProviderClientConnected"));
}

TEST_F(AChannel, EndsAWaitingConnectWhenTheWaitingRuntimeDisconnects)
{
    auto connecting = std::async(std::launch::async, [&] { return client.connectToProvider(channel(), true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    client.disconnect();
    ASSERT_EQ(connecting.wait_for(FakeRuntime::patience), std::future_status::ready);
    EXPECT_TRUE(connecting.get().isError());
}

TEST_F(AChannel, EndsAWaitingConnectWhenTheAdapterShutsDown)
{
    auto connecting = std::async(std::launch::async, [&] { return client.connectToProvider(channel(), true); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    halvora_embedded_shutdown();
    ASSERT_EQ(connecting.wait_for(FakeRuntime::patience), std::future_status::ready);
    const Outcome outcome = connecting.get();
    ASSERT_TRUE(outcome.isError());
    EXPECT_NE(outcome.text.find("shut down"), std::string::npos) << outcome.text;
}

TEST_F(AChannel, TellsTheProviderOfAClientThatConnectsAndOfItsLeaving)
{
    const std::string providerId = provider.createProvider(channel()).text;
    const std::string clientId = client.connectToProvider(channel(), false).text;

    const auto connected = provider.waitForEvent("ProviderClientConnected");
    ASSERT_TRUE(connected);
    EXPECT_EQ(connected->channelName, channel());
    EXPECT_EQ(connected->endpointId(), clientId) << "the client's identity is its endpoint id";
    EXPECT_EQ(connected->endpoint[0], "client-uuid") << "the endpoint carries the client runtime's uuid";
    EXPECT_EQ(connected->endpoint[2], channel());
    EXPECT_NE(connected->endpointId(), providerId);

    EXPECT_EQ(client.disconnectFromProvider(clientId).kind, Outcome::Kind::Null);
    const auto left = provider.waitForEvent("ProviderClientDisconnected");
    ASSERT_TRUE(left);
    EXPECT_EQ(left->endpoint, connected->endpoint);
    EXPECT_TRUE(client.dispatch(clientId, "topic").isError()) << "a client that left cannot dispatch";
    EXPECT_TRUE(client.disconnectFromProvider(clientId).isError());
}

TEST_F(AChannel, TellsItsClientsWhenTheProvidersRuntimeGoesAway)
{
    FakeRuntime second("second-client");
    second.connect();
    const std::string providerId = provider.createProvider(channel()).text;
    const std::string firstId = client.connectToProvider(channel(), false).text;
    second.connectToProvider(channel(), false);

    provider.disconnect();

    for (FakeRuntime* runtime : {&client, &second}) {
        const auto gone = runtime->waitForEvent("ChannelDisconnected");
        ASSERT_TRUE(gone);
        EXPECT_EQ(gone->channelName, channel());
        EXPECT_EQ(gone->endpointId(), providerId) << "the event names the provider that went";
    }
    EXPECT_TRUE(client.dispatch(firstId, "topic").isError());
}

TEST_F(AChannel, TellsTheProviderWhenAClientsRuntimeGoesAway)
{
    provider.createProvider(channel());
    const std::string clientId = client.connectToProvider(channel(), false).text;
    client.disconnect();
    const auto left = provider.waitForEvent("ProviderClientDisconnected");
    ASSERT_TRUE(left);
    EXPECT_EQ(left->endpointId(), clientId);
}

TEST_F(AChannel, GivesEveryEndpointAnIdentityOfItsOwn)
{
    std::set<std::string> identities;
    identities.insert(provider.createProvider(channel("-a")).text);
    identities.insert(provider.createProvider(channel("-b")).text);
    for (int i = 0; i < 3; ++i) {
        identities.insert(client.connectToProvider(channel("-a"), false).text);
        identities.insert(client.connectToProvider(channel("-b"), false).text);
    }
    EXPECT_EQ(identities.size(), 8u);
    EXPECT_EQ(identities.count(""), 0u);
}

} // namespace
