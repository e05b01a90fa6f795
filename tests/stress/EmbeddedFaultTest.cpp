// Faults on the embedded runtime, through the public API: shutdown with
// thousands of dispatches in flight, and runtimes that come and go while
// another dispatches to handlers that throw or block. Each future ends within
// a bound with a value or HalvoraApiException, each reply reaches its own
// caller, and no thread is left running.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <halvora_embedded.h>

#include "Outcome.h"
#include "StressSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

using namespace HalvoraAdapterApi;
using namespace HalvoraStress;
using HalvoraTest::outcome;

namespace {

class TheEmbeddedRuntimeUnderFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        baseline = threadBaseline();
        auto provider = connected("provider-app")->getChannels()->createProvider("prices");
        provider->registerTopic("flaky", [](std::shared_ptr<std::string> payload, EndpointId) {
            if (std::stoi(*payload) % 3 == 0) {
                throw std::runtime_error("flaky:" + *payload);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            return payload;
        });
        provider->openAsync().get();
    }

    void TearDown() override
    {
        for (const auto& runtime : runtimes) {
            outcome(runtime->disconnectAsync());
        }
        runtimes.clear();
        factory = RuntimeFactory();
        halvora_embedded_shutdown(); // joins the adapter's event threads
        EXPECT_TRUE(threadsSettleTo(baseline)) << threadCount() << " threads left";
    }

    std::shared_ptr<Runtime> connected(const std::string& uuid)
    {
        auto runtime = factory.getRuntimeInstance(RuntimeOptions(uuid, "stable"));
        runtime->connectAsync().get();
        runtimes.push_back(runtime);
        return runtime;
    }

    std::shared_ptr<ChannelClient> connectedClient(const std::string& uuid)
    {
        auto client = connected(uuid)->getChannels()->createClient("prices");
        client->connectAsync(false).get();
        return client;
    }

    // Whether a "flaky" dispatch of n ended as it must: its own value, or the handler's failure.
    static bool endedRight(int n, const std::string& ended)
    {
        const std::string text = std::to_string(n);
        return n % 3 != 0 ? ended == "value:" + text
                          : ended.rfind("error:", 0) == 0 && ended.find("flaky:" + text) != std::string::npos;
    }

    RuntimeFactory factory;
    std::vector<std::shared_ptr<Runtime>> runtimes;
    std::size_t baseline = 0;
};

TEST_F(TheEmbeddedRuntimeUnderFaults, EndsThousandsOfDispatchesInFlightOnShutdown)
{
    auto client = connectedClient("trader");
    std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
    for (int i = 1; i <= 3000; ++i) {
        pending.push_back(client->dispatchAsync("flaky", std::to_string(i)));
    }
    halvora_embedded_shutdown();
    for (int i = 1; i <= 3000; ++i) {
        const std::string ended = outcome(pending[i - 1]);
        ASSERT_TRUE(endedRight(i, ended) || ended.rfind("error:", 0) == 0) << i << ": " << ended;
    }
    EXPECT_THROW(client->dispatchAsync("flaky", "1"), HalvoraApiException);
}

TEST_F(TheEmbeddedRuntimeUnderFaults, GivesEachCallerItsOwnReplyWhileOtherRuntimesComeAndGo)
{
    auto steady = connectedClient("steady");
    std::atomic<bool> stop{false};
    std::atomic<int> churnFailures{0}, cycles{0};
    std::thread churn([&] {
        RuntimeFactory churnFactory;
        while (!stop) {
            auto runtime = churnFactory.getRuntimeInstance(RuntimeOptions("churn", "stable"));
            runtime->connectAsync().get();
            auto client = runtime->getChannels()->createClient("prices");
            client->connectAsync(false).get();
            auto inFlight = client->dispatchAsync("flaky", "1");
            runtime->disconnectAsync().get();
            const std::string ended = outcome(inFlight);
            churnFailures += ended == "value:1" || ended.rfind("error:", 0) == 0 ? 0 : 1;
            ++cycles;
        }
    });
    int wrong = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int n = 0; n < 300 || (cycles < 20 && std::chrono::steady_clock::now() < deadline); ++n) {
        wrong += endedRight(n, outcome(steady->dispatchAsync("flaky", std::to_string(n)))) ? 0 : 1;
    }
    stop = true;
    churn.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(churnFailures.load(), 0);
    EXPECT_GE(cycles.load(), 20);
}

} // namespace
