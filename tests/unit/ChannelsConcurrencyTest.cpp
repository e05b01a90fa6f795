#include "ChannelHarness.h"

#include <atomic>
#include <thread>
#include <vector>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

using ChannelsUnderLoad = ChannelHarness;

constexpr int kAppThreads = 4;
constexpr int kRounds = 150;
constexpr int kEvents = 3000;

// Application threads create clients, register and unregister topics,
// subscribe, dispatch and broadcast, while an event thread routes a storm of
// events to the same ends. Every future must complete and every provider
// message must reach its handler.
TEST_F(ChannelsUnderLoad, CompletesEveryOperationAndLosesNoEvent)
{
    auto provider = openProvider("storm", "provider-1");
    auto client = connectedClient("storm", "client-1");
    std::atomic<int> providerMessages{0};
    std::atomic<int> clientMessages{0};
    std::atomic<int> connections{0};
    provider->registerTopic("count", [&](std::shared_ptr<std::string>, EndpointId) {
        ++providerMessages;
        return std::make_shared<std::string>("ok");
    });
    client->registerTopic("count", [&](std::shared_ptr<std::string>, EndpointId) {
        ++clientMessages;
        return nullptr;
    });
    provider->subscribeClientConnected([&](const EndpointId&) { ++connections; });

    std::atomic<int> wrongReplies{0};
    std::thread events([&] {
        for (int i = 0; i < kEvents; ++i) {
            const std::string id = std::to_string(i % 8);
            deliver(
                channelEvent(i % 2 ? "ProviderClientConnected" : "ProviderClientDisconnected", fields(id), "storm"));
            auto reply = deliver(channelEvent("ChannelProviderMessage", fields(id), "storm", "count", "{}"));
            wrongReplies += (!reply || *reply != "ok") ? 1 : 0;
            deliver(channelEvent("ChannelMessage", fields("p"), "storm", "count"));
        }
    });

    std::vector<std::thread> applications;
    std::atomic<int> failures{0};
    for (int t = 0; t < kAppThreads; ++t) {
        applications.emplace_back([&, t] {
            auto own = channels->createClient("storm");
            const std::string topic = "topic-" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                own->registerTopic(topic, nullptr);
                own->subscribeDisconnected([] {});
                provider->subscribeClientDisconnected([](const EndpointId&) {});
                std::vector<std::shared_future<std::shared_ptr<std::string>>> pending = {
                    client->dispatchAsync(topic, "{}"), provider->dispatchAsync(endpoint("x"), topic),
                    provider->broadcastAsync(topic)};
                for (const auto& future : pending) {
                    try {
                        await(future);
                    } catch (...) {
                        ++failures;
                    }
                }
                own->unregisterTopic(topic);
                provider->unsubscribeClientDisconnected(nullptr);
                own->unsubscribeDisconnected(nullptr);
            }
        });
    }
    for (auto& application : applications) {
        application.join();
    }
    events.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(wrongReplies.load(), 0);
    EXPECT_EQ(providerMessages.load(), kEvents);
    EXPECT_EQ(clientMessages.load(), kEvents);
    EXPECT_EQ(connections.load(), kEvents / 2);
    EXPECT_EQ(native().callCount(kClientDispatch), static_cast<std::size_t>(kAppThreads * kRounds));
}

} // namespace
