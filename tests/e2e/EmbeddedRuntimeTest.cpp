// The library on the embedded local runtime, through its public API only.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <halvora_embedded.h>

#include "Outcome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <thread>

using namespace HalvoraAdapterApi;
using HalvoraTest::outcome;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

namespace {

// Waits, bounded, for what event threads report.
bool eventually(const std::function<bool()>& condition)
{
    for (int i = 0; i < 500 && !condition(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

std::shared_ptr<std::string> text(const std::string& value)
{
    return std::make_shared<std::string>(value);
}

class TheEmbeddedRuntime : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const auto& runtime : runtimes) {
            if (runtime->isConnected()) {
                runtime->disconnectAsync().get();
            }
        }
        runtimes.clear();
        factory = RuntimeFactory();
    }

    std::shared_ptr<Runtime> connected(const std::string& uuid)
    {
        auto runtime = factory.getRuntimeInstance(RuntimeOptions(uuid, "stable"));
        if (!runtime->isConnected()) { // a second connect would open a second adapter connection
            runtime->connectAsync().get();
            runtimes.push_back(runtime);
        }
        return runtime;
    }

    // A provider whose "echo" answers with the sender and the payload.
    std::shared_ptr<ChannelProvider> openProvider(const std::string& channel)
    {
        auto provider = connected("provider-app")->getChannels()->createProvider(channel);
        provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId from) {
            return text("{\"from\":\"" + from.uuid + "\",\"echo\":" + (payload ? *payload : "null") + "}");
        });
        provider->subscribeClientConnected([this](const EndpointId& client) {
            std::lock_guard<std::mutex> lock(clientsMutex);
            clients.push_back(client);
        });
        provider->openAsync().get();
        return provider;
    }

    std::shared_ptr<ChannelClient> connectedClient(const std::string& uuid, const std::string& channel = "prices")
    {
        auto client = connected(uuid)->getChannels()->createClient(channel);
        client->connectAsync(false).get();
        return client;
    }

    RuntimeFactory factory;
    std::vector<std::shared_ptr<Runtime>> runtimes;
    std::mutex clientsMutex;
    std::vector<EndpointId> clients;
    std::atomic<int> noticed{0}, left{0}, providerGone{0}; // counted on event threads
};

TEST_F(TheEmbeddedRuntime, CarriesRequestsToTheProviderAndRepliesBackFromManyRuntimesAndThreads)
{
    auto provider = openProvider("prices");
    provider->registerTopic("fail", [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> {
        throw std::runtime_error("no quote today");
    });
    provider->registerTopic("nothing", [](std::shared_ptr<std::string>, EndpointId) { return nullptr; });
    auto own = connected("provider-app")->getChannels()->createClient("prices"); // served by its own runtime
    own->connectAsync(true).get();
    EXPECT_EQ(outcome(own->dispatchAsync("echo", "2")), "value:{\"from\":\"provider-app\",\"echo\":2}");
    EXPECT_EQ(outcome(own->dispatchAsync("echo")), "value:{\"from\":\"provider-app\",\"echo\":null}");
    EXPECT_THAT(outcome(own->dispatchAsync("fail")), HasSubstr("no quote today"));
    EXPECT_EQ(outcome(own->dispatchAsync("nothing")), "null");
    EXPECT_EQ(outcome(own->dispatchAsync("unknown-topic")), "null");

    std::vector<std::shared_ptr<ChannelClient>> traders;
    for (int i = 0; i < 4; ++i) {
        traders.push_back(connectedClient("trader-" + std::to_string(i)));
    }
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < 50; ++n) {
                const std::string expected =
                    "value:{\"from\":\"trader-" + std::to_string(i) + "\",\"echo\":{\"n\":" + std::to_string(n) + "}}";
                wrong +=
                    outcome(traders[i]->dispatchAsync("echo", "{\"n\":" + std::to_string(n) + "}")) == expected ? 0 : 1;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(TheEmbeddedRuntime, LetsTheProviderAskOneClientAndBroadcastAndTellsBothSidesOfEndings)
{
    auto provider = openProvider("prices");
    provider->subscribeClientDisconnected([&](const EndpointId&) { ++left; });
    std::vector<std::shared_ptr<ChannelClient>> traders;
    for (const char* uuid : {"trader-a", "trader-b"}) {
        auto client = connected(uuid)->getChannels()->createClient("prices");
        const std::string who = uuid;
        client->registerTopic("notice", [this, who](std::shared_ptr<std::string>, EndpointId) {
            ++noticed;
            return text("ack from " + who);
        });
        client->subscribeDisconnected([&] { ++providerGone; });
        client->connectAsync(false).get();
        traders.push_back(client);
    }
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(clientsMutex);
        return clients.size() == 2;
    }));
    const EndpointId second = clients.at(1);
    EXPECT_EQ(outcome(provider->dispatchAsync(second, "notice", "{}")), "value:ack from " + second.uuid);
    provider->broadcastAsync("notice", "{}").get();
    EXPECT_TRUE(eventually([&] { return noticed == 3; }));

    traders[0]->disconnectAsync().get();
    EXPECT_TRUE(eventually([&] { return left == 1; }));
    runtimes.front()->disconnectAsync().get(); // the provider's runtime
    EXPECT_TRUE(eventually([&] { return providerGone == 1; }));
}

TEST_F(TheEmbeddedRuntime, HoldsAWaitingConnectUntilTheProviderOpens)
{
    auto client = connected("trader")->getChannels()->createClient("late-prices");
    EXPECT_THAT(outcome(client->connectAsync(false)), HasSubstr("error:"));
    auto waiting = client->connectAsync(true);
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    openProvider("late-prices");
    EXPECT_EQ(outcome(waiting), "done");
    EXPECT_EQ(outcome(client->dispatchAsync("echo", "1")), "value:{\"from\":\"trader\",\"echo\":1}");
}

TEST_F(TheEmbeddedRuntime, LaunchesTheApplicationThatAManifestNames)
{
    namespace fs = std::filesystem;
    const fs::path folder = fs::temp_directory_path() / ("halvora-e2e-" + std::to_string(std::random_device{}()));
    fs::create_directories(folder);
#if defined(_WIN32)
    std::ofstream(folder / "app.json") << R"({"name":"Short App","command":["cmd", "/c", "exit"]})";
    const std::string url = "file:///" + folder.generic_string();
#else
    std::ofstream(folder / "app.json") << R"({"name":"Short App","command":["true"]})";
    const std::string url = "file://" + folder.string();
#endif
    auto desktop = connected("launcher")->getDesktopSystem();
    const std::string launched = outcome(desktop->launchManifest(url + "/app.json", nullptr));
    EXPECT_THAT(launched, HasSubstr("\"name\":\"Short App\""));
    EXPECT_THAT(launched, HasSubstr("\"pid\":"));
    EXPECT_THAT(outcome(desktop->launchManifest(url + "/missing.json", nullptr)), HasSubstr("error:"));
    EXPECT_THAT(outcome(desktop->launchManifest("https://example.test/app.json", nullptr)), HasSubstr("error:"));
    std::error_code ignored; // Windows keeps the folder while the child still runs in it
    fs::remove_all(folder, ignored);
}

TEST_F(TheEmbeddedRuntime, EndsEveryRuntimeAndPendingCallOnShutdown)
{
    auto provider = openProvider("prices");
    std::promise<void> entered;
    provider->registerTopic("slow", [&entered](std::shared_ptr<std::string>, EndpointId) {
        entered.set_value();
        std::this_thread::sleep_for(50ms);
        return text("late");
    });
    auto clientRuntime = connected("trader");
    clientRuntime->subscribeDisconnected([&] { ++providerGone; });
    auto client = clientRuntime->getChannels()->createClient("prices");
    client->connectAsync(false).get();

    auto pending = client->dispatchAsync("slow");
    entered.get_future().wait();
    halvora_embedded_shutdown();
    EXPECT_TRUE(eventually([&] { return providerGone == 1; }));
    EXPECT_NE(outcome(pending, 5s), "pending");
    EXPECT_FALSE(clientRuntime->isConnected());
    EXPECT_FALSE(runtimes.front()->isConnected());
}

} // namespace
