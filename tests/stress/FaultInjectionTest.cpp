// Faults on the native side, through the public API on the double: events at
// awkward moments and from many threads, a disconnect with thousands of calls
// in flight, handlers that misbehave. In every case each future ends within a bound with a value
// or HalvoraApiException, each reply reaches its own caller, every buffer
// comes back exactly once and no thread is left behind.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "Outcome.h"
#include "RuntimeFixture.h"
#include "StressSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using namespace HalvoraStress;

namespace {

const char* const kDispatch = "d_halvora_channels_client_dispatch";
const EndpointFields someClient{"uuid-c", "runtime-2", "news", "channel-1", "client-1"};

class AFaultyAdapter : public RuntimeFixture {
protected:
    void SetUp() override
    {
        RuntimeFixture::SetUp();
        ::testing::internal::CaptureStderr(); // the library reports undecodable input there
        connect();
        provider = openProvider();
        client = connectedClient();
    }
    void TearDown() override
    {
        provider.reset();
        client.reset();
        RuntimeFixture::TearDown();
        ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(threadsSettleTo(baseline)) << threadCount() << " threads left";
    }

    Reply fire(const std::string& topic, const std::string& payload)
    {
        return native().fireEvent(channelEvent("ChannelProviderMessage", someClient, "news", topic, payload));
    }

    const std::size_t baseline = threadBaseline();
    std::shared_ptr<ChannelProvider> provider;
    std::shared_ptr<ChannelClient> client;
};

TEST_F(AFaultyAdapter, DropsEventsThatArriveWhileConnectingOrDisconnecting)
{
    std::vector<Reply> replies;
    auto fireBoth = [&](const Call&) {
        replies.push_back(fire("t", "x"));
        replies.push_back(native().fireEvent(adapterDisconnectedEvent()));
        return Result::uint(5);
    };
    provider->registerTopic("t", [](std::shared_ptr<std::string>, EndpointId) { return nullptr; });
    EXPECT_EQ(outcome(runtime->disconnectAsync()), "done");
    native().respond("d_halvora_connect", fireBoth);
    EXPECT_EQ(outcome(runtime->connectAsync()), "done");
    native().respond("d_halvora_disconnect", fireBoth);
    EXPECT_EQ(outcome(runtime->disconnectAsync()), "done");
    ASSERT_EQ(replies.size(), 4u);
    for (const Reply& reply : replies)
        EXPECT_FALSE(reply.returned);
}

TEST_F(AFaultyAdapter, IgnoresEventsForARuntimeEvenWhileItIsBeingDestroyed)
{
    const Connection connection = *native().lastConnection();
    const std::vector<std::uint8_t> event = channelEvent("ChannelProviderMessage", someClient, "news", "t", "x");
    std::atomic<bool> stop{false};
    std::atomic<int> malformed{0};
    std::vector<std::thread> firing;
    for (int t = 0; t < 3; ++t)
        firing.emplace_back([&] {
            while (!stop) {
                const Reply reply = NativeDouble::fireEvent(connection, event);
                malformed += reply.returned && reply.map.size() != 3 ? 1 : 0;
            }
        });
    std::this_thread::sleep_for(20ms);
    provider.reset();
    client.reset();
    runtime.reset();
    factory.reset();
    std::this_thread::sleep_for(20ms);
    stop = true;
    for (auto& thread : firing)
        thread.join();
    EXPECT_EQ(malformed.load(), 0);
    EXPECT_FALSE(NativeDouble::fireEvent(connection, event).returned);
}

TEST_F(AFaultyAdapter, EndsThousandsOfDispatchesInFlightWhenTheAdapterDisconnects)
{
    std::promise<void> gate;
    native().respond(kDispatch, [gate = gate.get_future().share()](const Call& call) {
        gate.wait();
        return Result::text("reply:" + call.request["payload_json"].get<std::string>());
    });
    std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
    for (int i = 0; i < 3000; ++i)
        pending.push_back(client->dispatchAsync("t", std::to_string(i)));
    std::atomic<bool> stop{false};
    std::thread late([&] { // the application keeps dispatching meanwhile
        while (!stop)
            apiError([&] { client->dispatchAsync("t", "late"); });
    });
    native().fireEvent(adapterDisconnectedEvent());
    gate.set_value();
    stop = true;
    late.join();
    EXPECT_FALSE(runtime->isConnected());
    int values = 0;
    for (int i = 0; i < 3000; ++i) {
        const std::string ended = outcome(pending[static_cast<std::size_t>(i)]);
        const bool value = ended == "value:reply:" + std::to_string(i);
        ASSERT_TRUE(value || ended.rfind("error:", 0) == 0) << i << ": " << ended;
        values += value ? 1 : 0;
    }
    EXPECT_LE(values, 1); // only the one already with the adapter
}

// Adapter threads route a storm of events, to handlers that answer, throw
// and re-enter the library, while application threads use the same ends:
// every operation completes and each event gets its own reply.
TEST_F(AFaultyAdapter, ServesAStormOfEventsWhileApplicationThreadsUseTheSameEnds)
{
    std::atomic<int> clientMessages{0}, connections{0}, wrong{0}, failures{0};
    provider->registerTopic("echo", [](auto payload, EndpointId) { return payload; });
    provider->registerTopic(
        "throw", [](auto payload, EndpointId) -> std::shared_ptr<std::string> { throw std::runtime_error(*payload); });
    provider->registerTopic("reenter", [weak = std::weak_ptr<Runtime>(runtime)](auto payload, EndpointId) {
        if (auto live = weak.lock())
            live->getChannels()->createProvider("p" + *payload);
        return payload;
    });
    client->registerTopic("count", [&](auto, EndpointId) {
        ++clientMessages;
        return nullptr;
    });
    provider->subscribeClientConnected([&](const EndpointId&) { ++connections; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] { // an adapter event thread
            for (int i = 0; i < 250; ++i) {
                const std::string payload = std::to_string(t) + "-" + std::to_string(i);
                EndpointFields from = someClient;
                from.endpointId = std::to_string(i % 8);
                native().fireEvent(
                    channelEvent(i % 2 ? "ProviderClientConnected" : "ProviderClientDisconnected", from, "news"));
                for (const std::string topic : {"echo", "throw", "reenter"}) {
                    const Reply reply = fire(topic, payload);
                    wrong += reply.payload() == payload && reply.isError() == (topic == "throw") ? 0 : 1;
                }
                native().fireEvent(channelEvent("ChannelMessage", someClient, "news", "count"));
            }
        });
        threads.emplace_back([&, t] { // an application thread
            auto own = runtime->getChannels()->createClient("news");
            const std::string topic = "topic-" + std::to_string(t);
            const EndpointId endpoint{someClient.uuid, someClient.name, someClient.channelName, someClient.channelId,
                                      someClient.endpointId};
            for (int round = 0; round < 100; ++round) {
                own->registerTopic(topic, nullptr);
                own->subscribeDisconnected([] {});
                for (const auto& future : {client->dispatchAsync(topic, "{}"), provider->dispatchAsync(endpoint, topic),
                                           provider->broadcastAsync(topic)})
                    failures += outcome(future).rfind("error", 0) == 0 ? 1 : 0;
                own->unregisterTopic(topic);
                own->unsubscribeDisconnected(nullptr);
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(clientMessages.load(), 1000);
    EXPECT_EQ(connections.load(), 500);
    EXPECT_EQ(native().repliesReleased(), 5000u);
}

} // namespace
