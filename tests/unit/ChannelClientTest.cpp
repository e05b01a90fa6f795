#include "ChannelHarness.h"

#include <gmock/gmock.h>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using ::testing::ElementsAre;

namespace {

using AChannelClient = ChannelHarness;

TEST_F(AChannelClient, DispatchesWithTheLatestIdentityAndYieldsTheReply)
{
    auto client = connectedClient("news", "first");
    native().script(kConnect, Result::text("second"));
    await(client->connectAsync(false));
    auto connects = native().calls(kConnect);
    EXPECT_THAT(connects[0].request.keys(), ElementsAre("handle", "provider_name", "wait"));
    EXPECT_EQ(connects[0].request["handle"].uint(), kHandle);
    EXPECT_EQ(connects[0].request["provider_name"].str(), "news");
    EXPECT_TRUE(connects[0].request["wait"].boolean);
    EXPECT_FALSE(connects[1].request["wait"].boolean);
    native().script(kClientDispatch, Result::text("\"pong\""));
    native().script(kClientDispatch, Result::null());
    native().script(kClientDispatch, Result::error("no provider"));

    EXPECT_EQ(*await(client->dispatchAsync("ping", "{\"n\":1}")), "\"pong\"");
    EXPECT_EQ(await(client->dispatchAsync("ping")), nullptr);
    EXPECT_EQ(apiError([&] { await(client->dispatchAsync("ping", "")); }), "no provider");

    auto calls = native().calls(kClientDispatch);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_THAT(calls[0].request.keys(), ElementsAre("client_id", "handle", "is_null", "payload_json", "topic"));
    EXPECT_EQ(calls[0].request["client_id"].str(), "second");
    EXPECT_EQ(calls[0].request["payload_json"].str(), "{\"n\":1}");
    EXPECT_FALSE(calls[0].request["is_null"].boolean);
    EXPECT_TRUE(calls[1].request["is_null"].boolean);
    EXPECT_EQ(calls[1].request["payload_json"].str(), "");
    EXPECT_FALSE(calls[2].request["is_null"].boolean);
}

// Past 64 KiB strings take the 32-bit MessagePack header, and the request
// buffer is sized from the payload rather than grown.
TEST_F(AChannelClient, CarriesLargePayloadsAndRepliesWhole)
{
    auto client = connectedClient("news", "me");
    const std::string payload(200 * 1024, 'p');
    const std::string answer(70 * 1024, 'a');
    native().script(kClientDispatch, Result::text(answer));

    EXPECT_EQ(*await(client->dispatchAsync("bulk", payload)), answer);
    auto calls = native().calls(kClientDispatch);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request["payload_json"].str(), payload);
    EXPECT_EQ(calls[0].request["topic"].str(), "bulk");
}

TEST_F(AChannelClient, FailsWorkWithoutAnIdentityAndSendsNothing)
{
    auto unconnected = channels->createClient("news");
    native().script(kConnect, Result::null());
    auto withoutValue = channels->createClient("news");
    await(withoutValue->connectAsync(true));

    for (const auto& client : {unconnected, withoutValue}) {
        EXPECT_EQ(apiError([&] { await(client->dispatchAsync("ping")); }), "The channel is not connected");
        EXPECT_EQ(apiError([&] { await(client->disconnectAsync()); }), "The channel is not connected");
    }
    EXPECT_EQ(native().callCount(kClientDispatch), 0u);
    EXPECT_EQ(native().callCount(kDisconnect), 0u);
}

TEST_F(AChannelClient, ReportsADisconnectTheAdapterRejects)
{
    auto client = connectedClient("news", "me");
    await(client->disconnectAsync());
    native().script(kDisconnect, Result::error("unknown client"));
    EXPECT_EQ(apiError([&] { await(client->disconnectAsync()); }), "unknown client");

    EXPECT_EQ(native().calls(kDisconnect)[0].request["client_id"].str(), "me");
}

TEST_F(AChannelClient, AfterResetRefusesDispatchAndConnectButStaysUsable)
{
    auto client = connectedClient("news", "me");
    Access::reset(*channels);
    EXPECT_EQ(apiError([&] { client->dispatchAsync("ping"); }), "The runtime is not connected");
    EXPECT_EQ(apiError([&] { await(client->connectAsync(true)); }), "The runtime is not connected");
    EXPECT_EQ(apiError([&] { await(client->disconnectAsync()); }), "The channel is not connected");
    EXPECT_EQ(native().callCount(kConnect), 1u);
}

TEST_F(AChannelClient, FailsQueuedDispatchesWhenTheQueueHasStopped)
{
    auto client = connectedClient("news", "me");
    queue.stop();
    EXPECT_EQ(apiError([&] { await(client->dispatchAsync("ping")); }), "The runtime is not connected");
    EXPECT_EQ(native().callCount(kClientDispatch), 0u);
}

TEST_F(AChannelClient, KeepsPendingWorkAliveAfterEveryOwnerDropsIt)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    native().respond(kConnect, [released](const Call&) {
        released.wait();
        return Result::text("late");
    });
    auto registry = Access::create(kHandle, futures, queue);
    auto client = registry->createClient("news");
    std::weak_ptr<ChannelClient> watched = client;
    auto pending = client->connectAsync(true);
    client.reset();
    registry.reset();
    EXPECT_FALSE(watched.expired());
    release.set_value();
    EXPECT_NO_THROW(await(pending)); // stores the identity into the still-living client
}

} // namespace
