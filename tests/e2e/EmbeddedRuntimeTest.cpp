// The library on the embedded runtime, through its public API only. Every
// test ends with the adapter shut down and no thread left running.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <halvora_embedded.h>

#include "../stress/StressSupport.h"
#include "Outcome.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <thread>

using namespace HalvoraAdapterApi;
using HalvoraStress::eventually;
using HalvoraTest::outcome;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;

namespace {

using Handler = MessageChannelClient::TopicHandler;

// Runs `first`, then answers `reply` (nullptr: no answer).
Handler answering(
    const char* reply, std::function<void()> first = [] {})
{
    return [reply, first](std::shared_ptr<std::string>, EndpointId) {
        first();
        return reply ? std::make_shared<std::string>(reply) : nullptr;
    };
}

// Whether a "flaky" dispatch of n ended as it must: its own payload back, or
// the handler's failure for multiples of 3.
bool endedRight(int n, const std::string& ended)
{
    const std::string sent = std::to_string(n);
    return n % 3 != 0 ? ended == "value:" + sent
                      : ended.rfind("error:", 0) == 0 && ended.find("flaky:" + sent) != std::string::npos;
}

class TheEmbeddedRuntime : public ::testing::Test {
protected:
    void TearDown() override
    {
        providerRuntime.reset();
        factory.reset();
        halvora_embedded_shutdown(); // joins the adapter's event threads
        EXPECT_TRUE(HalvoraStress::threadsSettleTo(baseline)) << HalvoraStress::threadCount() << " threads left";
    }

    std::shared_ptr<Runtime> connected(const std::string& uuid)
    {
        auto runtime = factory->getRuntimeInstance(RuntimeOptions(uuid, "stable"));
        if (!runtime->isConnected()) // a second connect would open a second adapter connection
            runtime->connectAsync().get();
        return runtime;
    }

    std::shared_ptr<ChannelProvider> provide(const std::shared_ptr<Runtime>& runtime, const std::string& channel,
                                             const std::string& topic = "", Handler handler = nullptr)
    {
        auto provider = runtime->getChannels()->createProvider(channel);
        provider->openAsync().get();
        if (handler)
            provider->registerTopic(topic, handler);
        return provider;
    }

    std::shared_ptr<ChannelClient> join(const std::shared_ptr<Runtime>& runtime, const std::string& channel)
    {
        auto client = runtime->getChannels()->createClient(channel);
        client->connectAsync(false).get();
        return client;
    }

    // "echo" answers with the sender and the payload; "flaky" as endedRight says.
    std::shared_ptr<ChannelProvider> openProvider()
    {
        providerRuntime = connected("provider-app");
        auto provider = providerRuntime->getChannels()->createProvider("prices");
        provider->registerTopic("echo", [this](std::shared_ptr<std::string> payload, EndpointId from) {
            std::lock_guard<std::mutex> lock(seenMutex);
            providerThreads.insert(std::this_thread::get_id());
            return std::make_shared<std::string>("{\"from\":\"" + from.uuid +
                                                 "\",\"echo\":" + (payload ? *payload : "null") + "}");
        });
        provider->registerTopic("flaky", [](std::shared_ptr<std::string> payload, EndpointId) {
            if (std::stoi(*payload) % 3 == 0)
                throw std::runtime_error("flaky:" + *payload);
            std::this_thread::sleep_for(200us);
            return payload;
        });
        provider->subscribeClientConnected([this](const EndpointId& client) {
            std::lock_guard<std::mutex> lock(seenMutex);
            clients.push_back(client);
        });
        provider->openAsync().get();
        return provider;
    }

    std::shared_ptr<ChannelClient> connectedClient(const std::string& uuid) { return join(connected(uuid), "prices"); }

    const std::size_t baseline = HalvoraStress::threadBaseline();
    std::unique_ptr<RuntimeFactory> factory = std::make_unique<RuntimeFactory>();
    std::shared_ptr<Runtime> providerRuntime;
    std::mutex seenMutex; // guards clients and providerThreads
    std::vector<EndpointId> clients;
    std::set<std::thread::id> providerThreads;
    std::atomic<int> noticed{0}, left{0}, providerGone{0}; // counted on event threads
};

// A client waits for a provider that opens later; then each request reaches
// the provider and its reply comes back, also within one runtime.
TEST_F(TheEmbeddedRuntime, HoldsAWaitingConnectUntilTheProviderOpensThenCarriesEachRequestAndReply)
{
    auto client = connected("trader")->getChannels()->createClient("prices");
    EXPECT_EQ(outcome(client->connectAsync(false)), "error:no provider is open for the channel 'prices'");
    auto waiting = client->connectAsync(true);
    EXPECT_EQ(waiting.wait_for(100ms), std::future_status::timeout);
    auto provider = openProvider();
    EXPECT_EQ(outcome(waiting), "done");
    EXPECT_EQ(outcome(connected("rival")->getChannels()->createProvider("prices")->openAsync()),
              "error:the channel 'prices' already has a provider");
    provider->registerTopic("nothing", answering(nullptr));
    provider->registerTopic("throws", answering(nullptr, [] { throw 42; }));
    auto own = connectedClient("provider-app");
    EXPECT_EQ(outcome(client->dispatchAsync("echo", "1")), "value:{\"from\":\"trader\",\"echo\":1}");
    EXPECT_EQ(outcome(own->dispatchAsync("echo")), "value:{\"from\":\"provider-app\",\"echo\":null}");
    EXPECT_EQ(outcome(own->dispatchAsync("echo", "")), "value:{\"from\":\"provider-app\",\"echo\":}");
    EXPECT_THAT(outcome(own->dispatchAsync("flaky", "3")), HasSubstr("flaky:3"));
    EXPECT_EQ(outcome(own->dispatchAsync("throws")),
              "error:A topic handler threw an exception that is not a std::exception");
    EXPECT_EQ(outcome(own->dispatchAsync("nothing")), "null");
    // A sender's names longer than the room kept in front of a payload.
    const std::string longName(400, 'n');
    EXPECT_EQ(outcome(connectedClient(longName)->dispatchAsync("echo", "2")),
              "value:{\"from\":\"" + longName + "\",\"echo\":2}");
    // Payload memory is mapped or taken from the allocator by size; a message
    // must never see its predecessor's bytes or run past its block.
    const std::size_t mebibyte = std::size_t{1} << 20;
    char fill = 'a';
    for (const std::size_t size : {std::size_t{5000}, mebibyte, 3 * mebibyte, std::size_t{16}, mebibyte + 100,
                                   std::size_t{5000}, 3 * mebibyte, mebibyte}) {
        const std::string payload(size, fill++);
        EXPECT_TRUE(outcome(client->dispatchAsync("echo", payload)) ==
                    "value:{\"from\":\"trader\",\"echo\":" + payload + "}")
            << size;
    }
    EXPECT_EQ(providerThreads.size(), 1u) << "a runtime's handlers run on its one event thread";
    // Disconnected locally only: the adapter still routes to it, and it does not answer.
    providerRuntime->registerDisconnection();
    EXPECT_EQ(outcome(client->dispatchAsync("nothing")), "error:The application did not answer");
}

// Callers on several threads and runtimes, while another runtime connects,
// dispatches and disconnects over and over: each reply reaches its own caller.
TEST_F(TheEmbeddedRuntime, GivesEachCallerItsOwnReplyWhileOtherRuntimesComeAndGo)
{
    openProvider();
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, cycles{0};
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
            wrong += ended == "value:1" || ended.rfind("error:", 0) == 0 ? 0 : 1;
            ++cycles;
        }
    });
    std::vector<std::thread> traders;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (int t = 0; t < 3; ++t) {
        traders.emplace_back([&, client = connectedClient("trader-" + std::to_string(t))] {
            for (int n = 0; n < 150 || (cycles < 20 && std::chrono::steady_clock::now() < deadline); ++n)
                wrong += endedRight(n, outcome(client->dispatchAsync("flaky", std::to_string(n)))) ? 0 : 1;
        });
    }
    for (auto& trader : traders)
        trader.join();
    stop = true;
    churn.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_GE(cycles.load(), 20);
}

TEST_F(TheEmbeddedRuntime, LetsTheProviderAskOneClientAndBroadcastAndTellsBothSidesOfEndings)
{
    auto provider = openProvider();
    provider->subscribeClientDisconnected([&](const EndpointId&) { ++left; });
    std::promise<void> entered, release;
    provider->registerTopic("hold", answering("held", [&, released = release.get_future().share()] {
                                entered.set_value();
                                released.wait();
                            }));
    std::vector<std::shared_ptr<ChannelClient>> traders;
    for (const std::string uuid : {"trader-a", "trader-b"}) {
        auto client = connected(uuid)->getChannels()->createClient("prices");
        client->registerTopic("notice", [this, uuid](std::shared_ptr<std::string>, EndpointId from) {
            ++noticed;
            return std::make_shared<std::string>(uuid + " heard " + from.uuid + " on " + from.channelId);
        });
        client->subscribeDisconnected([&] { ++providerGone; });
        client->connectAsync(false).get();
        traders.push_back(client);
    }
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lock(seenMutex);
        return clients.size() == 2;
    }));
    const EndpointId first = clients.at(0), second = clients.at(1);
    // Both ends name the channel by the same id.
    EXPECT_EQ(outcome(provider->dispatchAsync(second, "notice", "{}")),
              "value:trader-b heard provider-app on " + second.channelId);
    provider->broadcastAsync("notice", "{}").get();
    EXPECT_TRUE(eventually([&] { return noticed == 3; }));
    EXPECT_THAT(outcome(provide(providerRuntime, "other")->dispatchAsync(second, "notice")),
                HasSubstr("is not a connected client of the channel 'other'"));

    traders[0]->disconnectAsync().get();
    EXPECT_TRUE(eventually([&] { return left == 1; }));
    EXPECT_THAT(outcome(provider->dispatchAsync(first, "notice")), HasSubstr("is not a connected client"));
    EXPECT_THAT(outcome(traders[0]->dispatchAsync("echo")), HasSubstr("is not connected to a channel of this runtime"));
    EXPECT_THAT(outcome(traders[0]->disconnectAsync()), HasSubstr("is not connected to a channel"));

    // The provider's runtime leaves while its handler serves trader-b: the
    // call ends at once, the leave once the handler has returned.
    auto held = traders[1]->dispatchAsync("hold");
    entered.get_future().wait();
    auto leaving = providerRuntime->disconnectAsync();
    EXPECT_EQ(outcome(held), "error:the runtime that was to answer the call disconnected");
    EXPECT_EQ(leaving.wait_for(50ms), std::future_status::timeout);
    release.set_value();
    leaving.get();
    EXPECT_TRUE(eventually([&] { return providerGone == 1; }));
    EXPECT_THAT(outcome(traders[1]->dispatchAsync("echo")), HasSubstr("is not connected to a channel of this runtime"));
}

// A shutdown with thousands of dispatches queued or in a handler: each ends
// within a bound, with its own reply or an error, and every runtime hears it.
TEST_F(TheEmbeddedRuntime, EndsEveryRuntimeAndPendingCallOnShutdown)
{
    openProvider();
    auto clientRuntime = connected("trader");
    clientRuntime->subscribeDisconnected([&] { ++providerGone; });
    auto client = connectedClient("trader");
    std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
    for (int i = 1; i <= 3000; ++i)
        pending.push_back(client->dispatchAsync("flaky", std::to_string(i)));
    halvora_embedded_shutdown();
    for (int i = 1; i <= 3000; ++i) {
        const std::string ended = outcome(pending[static_cast<std::size_t>(i - 1)]);
        ASSERT_TRUE(endedRight(i, ended) || ended.rfind("error:", 0) == 0) << i << ": " << ended;
    }
    EXPECT_TRUE(eventually([&] { return providerGone == 1; }));
    EXPECT_FALSE(clientRuntime->isConnected());
    EXPECT_FALSE(providerRuntime->isConnected());
    EXPECT_THROW(client->dispatchAsync("flaky", "1"), HalvoraApiException);
    // Later connects start afresh, with every channel free.
    EXPECT_EQ(outcome(connected("provider-app")->getChannels()->createProvider("prices")->openAsync()), "done");
}

TEST_F(TheEmbeddedRuntime, ClosesItsConnectionWhenDestroyedEvenWithAClientWaitingOrFromInsideItsOwnHandler)
{
    auto other = std::make_unique<RuntimeFactory>();
    auto asker = other->getRuntimeInstance(RuntimeOptions("asker", "stable"));
    asker->connectAsync().get();
    auto quoting = connected("quotes");
    auto quotes = provide(quoting, "quotes");
    auto waiting = quoting->getChannels()->createClient("absent")->connectAsync(true);
    auto askerWaits = asker->getChannels()->createClient("absent")->connectAsync(true);
    quoting.reset();
    // Dropping the factory must neither wait for the provider that never comes
    // nor leave the provider open, answering for a runtime that is gone.
    auto dropped = std::async(std::launch::async, [&] { factory.reset(); });
    ASSERT_EQ(dropped.wait_for(5s), std::future_status::ready);
    EXPECT_THAT(outcome(waiting), StartsWith("error:"));
    EXPECT_EQ(outcome(askerWaits, 100ms), "pending"); // another runtime's wait goes on
    EXPECT_THAT(outcome(asker->getChannels()->createClient("quotes")->connectAsync(false)), StartsWith("error:"));

    // From inside its own handler a runtime may disconnect, or lose its last reference.
    factory = std::make_unique<RuntimeFactory>();
    auto leaver = connected("leaver");
    leaver->subscribeDisconnected([&] { ++left; });
    // The disconnect is dropped at once: it must not wait for this very handler.
    auto served = provide(leaver, "leave", "bye", answering("bye", [&] { leaver->disconnectAsync(); }));
    EXPECT_NE(outcome(join(asker, "leave")->dispatchAsync("bye"), 5s), "pending");
    // The runtime reads as disconnected before its subscribers are told.
    EXPECT_TRUE(eventually([&] { return !leaver->isConnected() && left != 0; }));
    EXPECT_EQ(left.load(), 1);

    auto runtime = connected("self");
    std::weak_ptr<Runtime> watched = runtime;
    served = provide(runtime, "self", "drop", answering("dropped", [&] {
                         factory.reset();
                         runtime.reset();
                     }));
    // The runtime's own worker waits for the reply of the handler that drops it.
    auto reply = join(runtime, "self")->dispatchAsync("drop");
    served.reset();
    EXPECT_NE(outcome(reply, 5s), "pending");
    EXPECT_TRUE(eventually([&] { return watched.expired(); }));
}

// The adapter's exit handling neither waits long for nor trips over
// connections still in use.
TEST_F(TheEmbeddedRuntime, LetsTheProcessExitPromptlyWithLiveConnectionsAndCallsInFlight)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            openProvider();
            std::thread([this, client = connectedClient("trader")] {
                for (;; ++noticed)
                    client->dispatchAsync("flaky", "1").wait();
            }).detach();
            eventually([&] { return noticed > 10; });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
