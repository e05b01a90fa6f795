// Faults on the embedded runtime, through the public API: shutdown with
// thousands of dispatches in flight, connections that come and go while
// other runtimes dispatch, and provider handlers that throw or block. Each
// future ends within a bound with a value or HalvoraApiException, each reply
// reaches its own caller, and no thread is left running.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <halvora_embedded.h>

#include "StressSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace HalvoraAdapterApi;
using namespace HalvoraStress;

namespace {

using Reply = std::shared_future<std::shared_ptr<std::string>>;

class TheEmbeddedRuntimeUnderFaults : public ::testing::Test {
protected:
    void SetUp() override { baselineThreads = threadBaseline(); }

    void TearDown() override
    {
        for (const auto& runtime : runtimes) {
            if (runtime->isConnected()) {
                outcomeOf(runtime->disconnectAsync());
            }
        }
        runtimes.clear();
        factory = RuntimeFactory();
        halvora_embedded_shutdown(); // joins the adapter's event threads
        EXPECT_TRUE(threadsSettleTo(baselineThreads)) << threadCount() << " threads left";
    }

    std::shared_ptr<Runtime> connected(const std::string& uuid)
    {
        auto runtime = factory.getRuntimeInstance(RuntimeOptions(uuid, "stable"));
        runtime->connectAsync().get();
        runtimes.push_back(runtime);
        return runtime;
    }

    std::shared_ptr<ChannelProvider> openProvider(const std::string& channel)
    {
        auto provider = connected("provider-app")->getChannels()->createProvider(channel);
        provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
        provider->registerTopic("flaky", [](std::shared_ptr<std::string> payload, EndpointId) {
            if (std::stoi(*payload) % 3 == 0) {
                throw std::runtime_error("flaky:" + *payload);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return payload;
        });
        provider->openAsync().get();
        return provider;
    }

    std::shared_ptr<ChannelClient> connectedClient(const std::string& uuid, const std::string& channel)
    {
        auto client = connected(uuid)->getChannels()->createClient(channel);
        client->connectAsync(false).get();
        return client;
    }

    RuntimeFactory factory;
    std::vector<std::shared_ptr<Runtime>> runtimes;
    std::size_t baselineThreads = 0;
};

TEST_F(TheEmbeddedRuntimeUnderFaults, EndsThousandsOfDispatchesInFlightOnShutdown)
{
    openProvider("prices");
    auto client = connectedClient("trader", "prices");
    std::vector<Reply> pending;
    for (int i = 0; i < 3000; ++i) {
        pending.push_back(client->dispatchAsync("echo", std::to_string(i)));
    }
    halvora_embedded_shutdown();
    for (int i = 0; i < 3000; ++i) {
        std::string value;
        const Outcome outcome = outcomeOf(pending[i], &value);
        ASSERT_TRUE(outcome == Outcome::Value || outcome == Outcome::ApiError) << "dispatch " << i;
        if (outcome == Outcome::Value) {
            ASSERT_EQ(value, std::to_string(i));
        }
    }
    EXPECT_THROW(client->dispatchAsync("echo", "x"), HalvoraApiException);
}

TEST_F(TheEmbeddedRuntimeUnderFaults, GivesEachCallerItsOwnReplyWhileHandlersThrowAndBlock)
{
    openProvider("prices");
    constexpr int senders = 3;
    constexpr int messages = 150;
    std::vector<std::shared_ptr<ChannelClient>> clients;
    for (int s = 0; s < senders; ++s) {
        clients.push_back(connectedClient("trader-" + std::to_string(s), "prices"));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int s = 0; s < senders; ++s) {
        threads.emplace_back([&, s] {
            std::vector<Reply> sent;
            for (int n = 0; n < messages; ++n) {
                sent.push_back(clients[s]->dispatchAsync("flaky", std::to_string(n)));
            }
            for (int n = 0; n < messages; ++n) {
                std::string value;
                const Outcome outcome = outcomeOf(sent[n], &value);
                const bool right =
                    n % 3 == 0 ? outcome == Outcome::ApiError : outcome == Outcome::Value && value == std::to_string(n);
                wrong += right ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(TheEmbeddedRuntimeUnderFaults, KeepsServingWhileOtherRuntimesConnectAndDisconnect)
{
    openProvider("prices");
    auto steady = connectedClient("steady", "prices");
    std::atomic<bool> stop{false};
    std::atomic<int> churnFailures{0};
    std::atomic<int> cycles{0};
    std::thread churn([&] {
        RuntimeFactory churnFactory;
        while (!stop) {
            auto runtime = churnFactory.getRuntimeInstance(RuntimeOptions("churn", "stable"));
            try {
                runtime->connectAsync().get();
                auto client = runtime->getChannels()->createClient("prices");
                client->connectAsync(false).get();
                auto inFlight = client->dispatchAsync("echo", "1");
                runtime->disconnectAsync().get();
                const Outcome outcome = outcomeOf(inFlight);
                churnFailures += outcome == Outcome::Value || outcome == Outcome::ApiError ? 0 : 1;
                ++cycles;
            } catch (const HalvoraApiException&) {
                ++churnFailures;
            }
        }
    });
    int wrong = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int n = 0; n < 300 || (cycles < 20 && std::chrono::steady_clock::now() < deadline); ++n) {
        std::string value;
        wrong += outcomeOf(steady->dispatchAsync("echo", std::to_string(n)), &value) == Outcome::Value &&
                         value == std::to_string(n)
                     ? 0
                     : 1;
    }
    stop = true;
    churn.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(churnFailures.load(), 0);
    EXPECT_GE(cycles.load(), 20);
}

} // namespace
