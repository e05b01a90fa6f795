// The library on the embedded local runtime, through its public API only.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <halvora_embedded.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

using namespace HalvoraAdapterApi;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

namespace {

// Counts what event threads report and lets the test wait for it, bounded.
class Signal {
public:
    // Notified under the lock: a waiter that sees the count may destroy the
    // signal at once, so nothing may touch it after the lock is released.
    void notify()
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        changed.notify_all();
    }
    bool waitFor(int expected)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return count >= expected; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
};

std::shared_ptr<std::string> text(const std::string& value)
{
    return std::make_shared<std::string>(value);
}

template <typename Future>
std::string failureOf(Future future)
{
    try {
        future.get();
    } catch (const HalvoraApiException& error) {
        return error.what();
    }
    return "(no failure)";
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
        // A second connect would open a second adapter connection.
        if (!runtime->isConnected()) {
            runtime->connectAsync().get();
            runtimes.push_back(runtime);
        }
        return runtime;
    }

    std::shared_ptr<ChannelProvider> openProvider(const std::string& channel, Signal* clientsConnected = nullptr)
    {
        auto provider = connected("provider-app")->getChannels()->createProvider(channel);
        provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId from) {
            return text("{\"from\":\"" + from.uuid + "\",\"echo\":" + (payload ? *payload : "null") + "}");
        });
        provider->subscribeClientConnected([this, clientsConnected](const EndpointId& client) {
            {
                std::lock_guard<std::mutex> lock(clientsMutex);
                clients.push_back(client);
            }
            if (clientsConnected != nullptr) {
                clientsConnected->notify();
            }
        });
        provider->openAsync().get();
        return provider;
    }

    std::vector<EndpointId> connectedClients()
    {
        std::lock_guard<std::mutex> lock(clientsMutex);
        return clients;
    }

    RuntimeFactory factory;
    std::vector<std::shared_ptr<Runtime>> runtimes;
    std::mutex clientsMutex;
    std::vector<EndpointId> clients;
};

TEST_F(TheEmbeddedRuntime, CarriesAClientRequestToTheProviderAndTheReplyBack)
{
    openProvider("prices");
    auto client = connected("trader")->getChannels()->createClient("prices");
    client->connectAsync(false).get();

    EXPECT_EQ(*client->dispatchAsync("echo", "{\"n\":1}").get(), "{\"from\":\"trader\",\"echo\":{\"n\":1}}");
    EXPECT_EQ(*client->dispatchAsync("echo").get(), "{\"from\":\"trader\",\"echo\":null}");
}

TEST_F(TheEmbeddedRuntime, ServesAProviderAndItsClientOnOneRuntime)
{
    auto runtime = connected("provider-app");
    auto provider = openProvider("prices");
    auto client = runtime->getChannels()->createClient("prices");
    client->connectAsync(true).get();
    EXPECT_EQ(*client->dispatchAsync("echo", "2").get(), "{\"from\":\"provider-app\",\"echo\":2}");
}

TEST_F(TheEmbeddedRuntime, ReportsAProviderHandlersFailureOrMissingValueToTheClient)
{
    auto provider = openProvider("prices");
    provider->registerTopic("fail", [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> {
        throw std::runtime_error("no quote today");
    });
    provider->registerTopic("nothing", [](std::shared_ptr<std::string>, EndpointId) { return nullptr; });
    auto client = connected("trader")->getChannels()->createClient("prices");
    client->connectAsync(false).get();

    EXPECT_THAT(failureOf(client->dispatchAsync("fail")), HasSubstr("no quote today"));
    EXPECT_FALSE(client->dispatchAsync("nothing").get());
    // A topic without a handler is answered without value.
    EXPECT_FALSE(client->dispatchAsync("unknown-topic").get());
}

TEST_F(TheEmbeddedRuntime, LetsTheProviderAskOneClientAndBroadcastToAll)
{
    Signal joined;
    auto provider = openProvider("prices", &joined);
    Signal noticed;
    std::vector<std::shared_ptr<ChannelClient>> channelClients;
    for (const char* uuid : {"trader-a", "trader-b"}) {
        auto client = connected(uuid)->getChannels()->createClient("prices");
        const std::string who = uuid;
        client->registerTopic("notice", [&noticed, who](std::shared_ptr<std::string>, EndpointId) {
            noticed.notify();
            return text("ack from " + who);
        });
        client->connectAsync(false).get();
        channelClients.push_back(client);
    }
    ASSERT_TRUE(joined.waitFor(2));

    const EndpointId second = connectedClients().at(1);
    EXPECT_EQ(*provider->dispatchAsync(second, "notice", "{}").get(), "ack from " + second.uuid);

    provider->broadcastAsync("notice", "{}").get();
    EXPECT_TRUE(noticed.waitFor(3));
}

TEST_F(TheEmbeddedRuntime, TellsBothSidesOfConnectionsEnding)
{
    Signal joined;
    auto provider = openProvider("prices", &joined);
    Signal left;
    provider->subscribeClientDisconnected([&](const EndpointId&) { left.notify(); });
    auto leaving = connected("trader-a")->getChannels()->createClient("prices");
    auto staying = connected("trader-b")->getChannels()->createClient("prices");
    Signal providerGone;
    staying->subscribeDisconnected([&] { providerGone.notify(); });
    leaving->connectAsync(false).get();
    staying->connectAsync(false).get();
    ASSERT_TRUE(joined.waitFor(2));

    leaving->disconnectAsync().get();
    EXPECT_TRUE(left.waitFor(1));

    runtimes.front()->disconnectAsync().get();
    EXPECT_TRUE(providerGone.waitFor(1));
}

TEST_F(TheEmbeddedRuntime, HoldsAWaitingConnectUntilTheProviderOpens)
{
    auto client = connected("trader")->getChannels()->createClient("late-prices");
    EXPECT_NE(failureOf(client->connectAsync(false)), "(no failure)");

    auto waiting = client->connectAsync(true);
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    openProvider("late-prices");
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    waiting.get();
    EXPECT_EQ(*client->dispatchAsync("echo", "1").get(), "{\"from\":\"trader\",\"echo\":1}");
}

std::string fileUrl(const std::filesystem::path& file)
{
#if defined(_WIN32)
    return "file:///" + file.generic_string();
#else
    return "file://" + file.string();
#endif
}

TEST_F(TheEmbeddedRuntime, LaunchesTheApplicationThatAManifestNames)
{
    const auto folder =
        std::filesystem::temp_directory_path() / ("halvora-e2e-" + std::to_string(std::random_device{}()));
    std::filesystem::create_directories(folder);
    const auto manifest = folder / "app.json";
#if defined(_WIN32)
    std::ofstream(manifest) << R"({"name":"Short App","command":["cmd", "/c", "exit"]})";
#else
    std::ofstream(manifest) << R"({"name":"Short App","command":["true"]})";
#endif

    auto desktop = connected("launcher")->getDesktopSystem();
    const auto launched = desktop->launchManifest(fileUrl(manifest), nullptr).get();
    ASSERT_TRUE(launched);
    EXPECT_THAT(*launched, HasSubstr("\"name\":\"Short App\""));
    EXPECT_THAT(*launched, HasSubstr("\"pid\":"));

    EXPECT_NE(failureOf(desktop->launchManifest(fileUrl(folder / "missing.json"), nullptr)), "(no failure)");
    EXPECT_NE(failureOf(desktop->launchManifest("https://example.test/app.json", nullptr)), "(no failure)");
    std::error_code ignored; // Windows keeps the folder while the child still runs in it
    std::filesystem::remove_all(folder, ignored);
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
    Signal runtimeGone;
    clientRuntime->subscribeDisconnected([&] { runtimeGone.notify(); });
    auto client = clientRuntime->getChannels()->createClient("prices");
    client->connectAsync(false).get();

    auto pending = client->dispatchAsync("slow");
    entered.get_future().wait();
    halvora_embedded_shutdown();
    EXPECT_TRUE(runtimeGone.waitFor(1));
    EXPECT_EQ(pending.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(clientRuntime->isConnected());
    EXPECT_FALSE(runtimes.front()->isConnected());
}

TEST_F(TheEmbeddedRuntime, CarriesMessagesBetweenManyRuntimesFromManyThreads)
{
    openProvider("prices");
    constexpr int senders = 4;
    constexpr int messages = 50;
    std::vector<std::shared_ptr<ChannelClient>> channelClients;
    for (int i = 0; i < senders; ++i) {
        auto client = connected("trader-" + std::to_string(i))->getChannels()->createClient("prices");
        client->connectAsync(false).get();
        channelClients.push_back(client);
    }
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < senders; ++i) {
        threads.emplace_back([&, i] {
            for (int n = 0; n < messages; ++n) {
                const auto reply = channelClients[i]->dispatchAsync("echo", std::to_string(n)).get();
                if (reply && reply->find("\"trader-" + std::to_string(i) + "\"") != std::string::npos) {
                    ++answered;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(answered.load(), senders * messages);
}

} // namespace
