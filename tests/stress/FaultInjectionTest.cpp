// Faults on the native side, through the public API on the double: events at
// awkward moments and from many threads, also while the runtime is destroyed.
// In every case each future ends within a bound with a value or
// HalvoraApiException, each reply reaches its own caller, every buffer comes
// back exactly once and no thread is left behind.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "Outcome.h"
#include "RuntimeFixture.h"
#include "StressSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using namespace HalvoraStress;

namespace {

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
    int fired = 0, answered = 0;
    auto fireBoth = [&](const Call&) {
        answered += fire("t", "x").returned + native().fireEvent(adapterDisconnectedEvent()).returned;
        fired += 2;
        return Result::uint(5);
    };
    EXPECT_EQ(outcome(runtime->disconnectAsync()), "done");
    native().respond("d_halvora_connect", fireBoth);
    EXPECT_EQ(outcome(runtime->connectAsync()), "done");
    native().respond("d_halvora_disconnect", fireBoth);
    EXPECT_EQ(outcome(runtime->disconnectAsync()), "done");
    EXPECT_EQ(fired, 4);
    EXPECT_EQ(answered, 0);
}

// Adapter threads route a storm of events to handlers that re-enter the
// library while application threads use the same ends, then fire on while the
// runtime is destroyed: each event is answered in full, with its own reply, or
// not at all, and every operation completes.
TEST_F(AFaultyAdapter, ServesAStormOfEventsWhileApplicationThreadsUseTheSameEndsAndTheRuntimeGoes)
{
    std::atomic<int> clientMessages{0}, connections{0}, wrong{0}, failures{0}, served{0};
    std::atomic<bool> stop{false};
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
    const Connection connection = *native().lastConnection();
    std::vector<std::thread> adapterThreads, applicationThreads;
    for (int t = 0; t < 4; ++t) {
        adapterThreads.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                const std::string payload = std::to_string(t) + "-" + std::to_string(i);
                EndpointFields from = someClient;
                from.endpointId = std::to_string(i % 8);
                native().fireEvent(
                    channelEvent(i % 2 ? "ProviderClientConnected" : "ProviderClientDisconnected", from, "news"));
                wrong += fire("reenter", payload).payload() == payload ? 0 : 1;
                native().fireEvent(channelEvent("ChannelMessage", someClient, "news", "count"));
            }
            ++served;
            while (!stop) {
                const Reply reply = NativeDouble::fireEvent(
                    connection, channelEvent("ChannelProviderMessage", someClient, "news", "reenter", "late"));
                wrong += reply.returned && reply.map.size() != 3 ? 1 : 0;
            }
        });
        applicationThreads.emplace_back([&, t] {
            auto own = runtime->getChannels()->createClient("news");
            const std::string topic = "topic-" + std::to_string(t);
            const EndpointId endpoint{someClient.uuid, someClient.name, someClient.channelName, someClient.channelId,
                                      someClient.endpointId};
            for (int round = 0; round < 100; ++round) {
                own->registerTopic(topic, nullptr);
                for (const auto& future : {client->dispatchAsync(topic, "{}"), provider->dispatchAsync(endpoint, topic),
                                           provider->broadcastAsync(topic)})
                    failures += outcome(future).rfind("error", 0) == 0 ? 1 : 0;
                own->unregisterTopic(topic);
            }
        });
    }
    for (auto& thread : applicationThreads)
        thread.join();
    for (int i = 0; i < 1000 && served < 4; ++i)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(clientMessages.load(), 1000);
    EXPECT_EQ(connections.load(), 500);
    provider.reset();
    client.reset();
    runtime.reset();
    factory.reset();
    stop = true;
    for (auto& thread : adapterThreads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failures.load(), 0);
}

} // namespace
