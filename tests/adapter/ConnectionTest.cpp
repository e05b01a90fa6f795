#include "AdapterFixture.h"

#include <future>
#include <memory>

using namespace halvora::adapter::testing;

namespace {

class AnEmbeddedRuntime : public AdapterFixture {};

TEST_F(AnEmbeddedRuntime, GetsAFreshNonZeroHandleForEveryConnection)
{
    FakeRuntime first, second;
    const auto a = first.connect();
    const auto b = second.connect();
    EXPECT_NE(a, 0u);
    EXPECT_NE(b, 0u);
    EXPECT_NE(a, b);
    first.disconnect();
    FakeRuntime third;
    EXPECT_NE(third.connect(), a) << "a handle is never handed out twice";
}

TEST_F(AnEmbeddedRuntime, IsRefusedWithoutCallbacksOrWithAMalformedConnectRequest)
{
    const auto request = RequestBuilder().add("runtime_ptr", std::uint64_t{1}).bytes();
    const NativeResult noCallbacks = d_halvora_connect(request.data(), request.size(), nullptr, nullptr);
    EXPECT_TRUE(noCallbacks.isError);
    deallocate_rust_buffer(noCallbacks.data, noCallbacks.length);

    const auto withoutContext = RequestBuilder().add("version", "1.2.1.34").bytes();
    const NativeResult missing = d_halvora_connect(withoutContext.data(), withoutContext.size(), nullptr, nullptr);
    EXPECT_TRUE(missing.isError);
    deallocate_rust_buffer(missing.data, missing.length);
}

TEST_F(AnEmbeddedRuntime, CannotBeUsedAfterItDisconnected)
{
    FakeRuntime runtime;
    runtime.connect();
    const auto handle = runtime.handle();
    EXPECT_EQ(runtime.disconnect().kind, Outcome::Kind::Null);

    const Outcome create = callAdapter(d_halvora_channels_create_provider,
                                       RequestBuilder().add("handle", handle).add("provider_name", "x").bytes());
    ASSERT_TRUE(create.isError());
    EXPECT_NE(create.text.find("not connected"), std::string::npos) << create.text;
    const Outcome again = callAdapter(d_halvora_disconnect, RequestBuilder().add("handle", handle).bytes());
    EXPECT_TRUE(again.isError()) << "a second disconnect of the same handle";
}

TEST_F(AnEmbeddedRuntime, ReceivesAdapterDisconnectedAsItsLastEventWhenTheAdapterShutsDown)
{
    FakeRuntime provider, client;
    provider.connect();
    client.connect();
    provider.createProvider(channel());
    client.connectToProvider(channel(), false);

    halvora_embedded_shutdown();

    for (FakeRuntime* runtime : {&provider, &client}) {
        const auto events = runtime->events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().type, "AdapterDisconnected");
        EXPECT_EQ(events.back().elements, 7u);
    }
    EXPECT_TRUE(provider.createProvider(channel()).isError()) << "handles die with the shutdown";
    FakeRuntime later;
    EXPECT_NE(later.connect(), 0u) << "the adapter accepts connections after a shutdown";
}

TEST_F(AnEmbeddedRuntime, CanDisconnectFromInsideItsOwnEventHandler)
{
    FakeRuntime provider, client;
    provider.connect();
    client.connect();
    provider.createProvider(channel());
    std::promise<Outcome> disconnected;
    provider.answer([&](const ReceivedEvent& event) {
        if (event.type == "ProviderClientConnected")
            disconnected.set_value(
                callAdapter(d_halvora_disconnect, RequestBuilder().add("handle", provider.handle()).bytes()));
        return Reply::null();
    });
    client.connectToProvider(channel(), false);

    auto outcome = disconnected.get_future();
    ASSERT_EQ(outcome.wait_for(FakeRuntime::patience), std::future_status::ready);
    EXPECT_EQ(outcome.get().kind, Outcome::Kind::Null);
    EXPECT_TRUE(client.waitForEvent("ChannelDisconnected"));
}

TEST_F(AnEmbeddedRuntime, ReleasesEveryReplyBufferOnceAndHandsEveryResultBufferOutOnce)
{
    FakeRuntime provider, client;
    provider.connect();
    client.connect();
    provider.createProvider(channel());
    provider.answer([](const ReceivedEvent&) { return Reply::text("{}"); });
    const std::string clientId = client.connectToProvider(channel(), false).text;
    const auto resultsBefore = halvora::adapter::embedded::liveResultBuffers();

    for (int i = 0; i < 50; ++i)
        client.dispatch(clientId, "topic", "{}");

    EXPECT_EQ(halvora::adapter::embedded::liveResultBuffers(), resultsBefore);
    EXPECT_EQ(FakeRuntime::outstandingReplies(), 0u);
    EXPECT_EQ(provider.eventsOf("ChannelProviderMessage").size(), 50u);
}

TEST_F(AnEmbeddedRuntime, IgnoresABufferGivenBackTwiceOrNeverHandedOut)
{
    FakeRuntime runtime;
    runtime.connect();
    const NativeResult result = d_halvora_disconnect(nullptr, 0);
    deallocate_rust_buffer(result.data, result.length);
    deallocate_rust_buffer(result.data, result.length);
    std::uint8_t foreign[4] = {};
    deallocate_rust_buffer(foreign, sizeof foreign);
    deallocate_rust_buffer(nullptr, 0);
    EXPECT_EQ(halvora::adapter::embedded::liveResultBuffers(), 0u);
}

} // namespace

namespace {

TEST(TheEmbeddedAdapterAtExit, LetsAProcessWithLiveConnectionsAndCallsInFlightExitPromptly)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            // Never destroyed, so that the connections are still live when exit begins.
            auto* provider = new FakeRuntime("provider");
            auto* client = new FakeRuntime("client");
            provider->connect();
            client->connect();
            provider->createProvider("at-exit");
            provider->answer([](const ReceivedEvent&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return Reply::text("1");
            });
            const std::string clientId = client->connectToProvider("at-exit", false).text;
            std::thread([client, clientId] {
                for (;;)
                    client->dispatch(clientId, "busy");
            }).detach();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
