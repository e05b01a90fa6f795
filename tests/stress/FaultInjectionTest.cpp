// Faults on the native side, driven through the public API against the test
// double: calls that fail, stall or answer garbage, events at awkward moments
// and from many threads, handlers that misbehave. Every case checks the same
// invariants: each future ends (value or HalvoraApiException) within a bound,
// every result and reply buffer comes back exactly once (TearDown), no thread
// is left running (TearDown), and each reply reaches its own caller.
#include <HalvoraAdapterApi/ChannelClient.h>
#include <HalvoraAdapterApi/ChannelProvider.h>
#include <HalvoraAdapterApi/Channels.h>
#include <HalvoraAdapterApi/Runtime.h>

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
        baselineThreads = threadBaseline();
        ::testing::internal::CaptureStderr(); // the library reports undecodable input there
    }

    void TearDown() override
    {
        RuntimeFixture::TearDown();
        ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(threadsSettleTo(baselineThreads)) << threadCount() << " threads left";
    }

    std::shared_ptr<ChannelClient> connectedClient()
    {
        connect();
        native().script("d_halvora_channels_connect_to_provider", Result::text("client-1"));
        auto client = runtime->getChannels()->createClient("news");
        client->connectAsync(false).get();
        return client;
    }

    std::shared_ptr<ChannelProvider> openProvider()
    {
        connect();
        native().script("d_halvora_channels_create_provider", Result::text("provider-1"));
        auto provider = runtime->getChannels()->createProvider("news");
        provider->openAsync().get();
        return provider;
    }

    // Answers each dispatch with "reply:" and its own payload.
    void echoDispatches(std::chrono::milliseconds delay = 0ms)
    {
        native().respond(kDispatch, [delay](const Call& call) {
            std::this_thread::sleep_for(delay);
            return Result::text("reply:" + call.request["payload_json"].str());
        });
    }

    std::vector<std::uint8_t> providerMessage(const std::string& topic, const std::string& payload)
    {
        return channelEvent("ChannelProviderMessage", someClient, "news", topic, payload);
    }

    std::size_t baselineThreads = 0;
};

// --- Native calls that fail or return garbage ----------------------------

struct Garbage {
    const char* name;
    Result result;
};

std::vector<std::uint8_t> deeplyNested()
{
    std::vector<std::uint8_t> bytes(200, 0x91);
    bytes.push_back(0xc0);
    return bytes;
}

const Garbage garbage[] = {
    {"error", Result::error("the adapter failed")},
    {"undecodable", Result::raw({0xc1})},
    {"truncated", Result::raw({0xd9, 0x20, 'a', 'b'})},
    {"wrongType", Result::raw({0x92, 0x01, 0x02})},
    {"negativeNumber", Result::raw({0xff})},
    {"errorOfWrongType", Result::raw({0x92, 0x01, 0x02}, true)},
    {"nullData", Result::nullPointer(16)},
    {"nullDataError", Result::nullPointer(16, true)},
    {"hugeContainer", Result::raw({0xdd, 0xff, 0xff, 0xff, 0xff})},
    {"nestedTooDeeply", Result::raw(deeplyNested())},
    {"empty", Result::raw({})},
};

class ANativeCallThatMisbehaves : public AFaultyAdapter, public ::testing::WithParamInterface<Garbage> {};

TEST_P(ANativeCallThatMisbehaves, EndsTheDispatchAndStillServesTheNextOne)
{
    auto client = connectedClient();
    native().script(kDispatch, GetParam().result);
    native().script(kDispatch, Result::text("fine"));

    const Outcome first = outcomeOf(client->dispatchAsync("t", "1"));
    std::string value;
    const Outcome second = outcomeOf(client->dispatchAsync("t", "2"), &value);

    EXPECT_TRUE(first == Outcome::Value || first == Outcome::ApiError);
    EXPECT_EQ(second, Outcome::Value);
    EXPECT_EQ(value, "fine");
}

TEST_P(ANativeCallThatMisbehaves, FailsTheConnectWithAnApiError)
{
    native().script("d_halvora_connect", GetParam().result);
    EXPECT_EQ(outcomeOf(runtime->connectAsync()), Outcome::ApiError);
    EXPECT_FALSE(runtime->isConnected());
}

INSTANTIATE_TEST_SUITE_P(Garbage, ANativeCallThatMisbehaves, ::testing::ValuesIn(garbage),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Native calls that stall ---------------------------------------------

TEST_F(AFaultyAdapter, ServesEveryDispatchQueuedBehindOneThatStalls)
{
    auto client = connectedClient();
    native().respond(kDispatch, [](const Call& call) {
        const std::string payload = call.request["payload_json"].str();
        if (payload == "stall") {
            std::this_thread::sleep_for(300ms);
        }
        return Result::text("reply:" + payload);
    });
    auto stalled = client->dispatchAsync("t", "stall");
    std::vector<std::shared_future<std::shared_ptr<std::string>>> queued;
    for (int i = 0; i < 200; ++i) {
        queued.push_back(client->dispatchAsync("t", std::to_string(i)));
    }
    std::string value;
    EXPECT_EQ(outcomeOf(stalled, &value), Outcome::Value);
    EXPECT_EQ(value, "reply:stall");
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(outcomeOf(queued[i], &value), Outcome::Value);
        EXPECT_EQ(value, "reply:" + std::to_string(i));
    }
}

TEST_F(AFaultyAdapter, EndsEveryFutureWhenTheRuntimeIsDroppedDuringAStall)
{
    auto client = connectedClient();
    echoDispatches(2ms);
    std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
    for (int i = 0; i < 100; ++i) {
        pending.push_back(client->dispatchAsync("t", std::to_string(i)));
    }
    client.reset();
    runtime.reset();
    factory.reset();
    for (const auto& future : pending) {
        const Outcome outcome = outcomeOf(future);
        ASSERT_TRUE(outcome == Outcome::Value || outcome == Outcome::ApiError);
    }
}

// --- Replies reach their own callers --------------------------------------

TEST_F(AFaultyAdapter, NeverGivesAReplyToTheWrongFutureUnderConcurrentDispatch)
{
    auto client = connectedClient();
    echoDispatches();
    constexpr int threads = 4;
    constexpr int perThread = 250;
    std::atomic<int> mismatched{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            std::vector<std::pair<std::string, std::shared_future<std::shared_ptr<std::string>>>> sent;
            for (int i = 0; i < perThread; ++i) {
                const std::string payload = std::to_string(t) + "/" + std::to_string(i);
                sent.emplace_back(payload, client->dispatchAsync("t", payload));
            }
            for (const auto& entry : sent) {
                std::string value;
                if (outcomeOf(entry.second, &value) != Outcome::Value || value != "reply:" + entry.first) {
                    ++mismatched;
                }
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(mismatched.load(), 0);
    EXPECT_EQ(native().callCount(kDispatch), static_cast<std::size_t>(threads * perThread));
}

// --- Events at awkward moments ---------------------------------------------

TEST_F(AFaultyAdapter, DropsEventsThatArriveWhileConnecting)
{
    std::vector<Reply> replies;
    native().respond("d_halvora_connect", [&](const Call&) {
        replies.push_back(native().fireEvent(channelEvent("ChannelMessage", someClient, "news", "t", "x")));
        replies.push_back(native().fireEvent(adapterDisconnectedEvent()));
        return Result::uint(5);
    });
    connect();
    EXPECT_TRUE(runtime->isConnected());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_FALSE(replies[0].returned);
    EXPECT_FALSE(replies[1].returned);
}

TEST_F(AFaultyAdapter, DropsEventsThatArriveWhileDisconnecting)
{
    auto provider = openProvider();
    provider->registerTopic(
        "t", [](std::shared_ptr<std::string>, EndpointId) { return std::make_shared<std::string>("answered"); });
    std::vector<Reply> replies;
    native().respond("d_halvora_disconnect", [&](const Call&) {
        replies.push_back(native().fireEvent(providerMessage("t", "x")));
        replies.push_back(native().fireEvent(adapterDisconnectedEvent()));
        return Result::null();
    });
    EXPECT_EQ(outcomeOf(runtime->disconnectAsync()), Outcome::Value);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_FALSE(replies[0].returned);
    EXPECT_FALSE(replies[1].returned);
}

TEST_F(AFaultyAdapter, IgnoresEventsForADestroyedRuntimeEvenWhileItIsBeingDestroyed)
{
    openProvider();
    const Connection connection = *native().lastConnection();
    const std::vector<std::uint8_t> event = providerMessage("t", "x");
    std::atomic<bool> stop{false};
    std::atomic<int> malformed{0};
    std::vector<std::thread> firing;
    for (int t = 0; t < 3; ++t) {
        firing.emplace_back([&] {
            while (!stop) {
                const Reply reply = NativeDouble::fireEvent(connection, event.data(), event.size());
                malformed += reply.returned && reply.map.size() != 3 ? 1 : 0;
            }
        });
    }
    std::this_thread::sleep_for(20ms);
    runtime.reset();
    factory.reset();
    std::this_thread::sleep_for(20ms);
    stop = true;
    for (auto& thread : firing) {
        thread.join();
    }
    EXPECT_EQ(malformed.load(), 0);
    EXPECT_FALSE(NativeDouble::fireEvent(connection, event.data(), event.size()).returned);
}

TEST_F(AFaultyAdapter, AnswersEventsFromSeveralThreadsEachWithItsOwnReply)
{
    auto provider = openProvider();
    provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
    constexpr int threads = 4;
    constexpr int perThread = 500;
    std::atomic<int> wrong{0};
    std::vector<std::thread> firing;
    for (int t = 0; t < threads; ++t) {
        firing.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                const std::string payload = std::to_string(t) + ":" + std::to_string(i);
                const Reply reply = native().fireEvent(providerMessage("echo", payload));
                wrong += !reply.returned || reply.isError() || reply.payload() != payload ? 1 : 0;
            }
        });
    }
    for (auto& thread : firing) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(native().repliesReleased(), static_cast<std::size_t>(threads * perThread));
}

TEST_F(AFaultyAdapter, EndsThousandsOfDispatchesInFlightWhenTheAdapterDisconnects)
{
    auto client = connectedClient();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    native().respond(kDispatch, [released](const Call& call) {
        released.wait();
        return Result::text("reply:" + call.request["payload_json"].str());
    });
    constexpr int inFlight = 3000;
    std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
    for (int i = 0; i < inFlight; ++i) {
        pending.push_back(client->dispatchAsync("t", std::to_string(i)));
    }
    // Application threads keep dispatching while the disconnection arrives.
    std::atomic<bool> stop{false};
    std::thread late([&] {
        while (!stop) {
            try {
                client->dispatchAsync("t", "late");
            } catch (const HalvoraApiException&) {
            }
        }
    });
    std::thread adapter([&] { native().fireEvent(adapterDisconnectedEvent()); });
    adapter.join();
    release.set_value();
    stop = true;
    late.join();

    EXPECT_FALSE(runtime->isConnected());
    int values = 0;
    for (int i = 0; i < inFlight; ++i) {
        std::string value;
        const Outcome outcome = outcomeOf(pending[i], &value);
        ASSERT_TRUE(outcome == Outcome::Value || outcome == Outcome::ApiError) << "dispatch " << i;
        if (outcome == Outcome::Value) {
            ++values;
            EXPECT_EQ(value, "reply:" + std::to_string(i));
        }
    }
    EXPECT_LE(values, 1); // only the dispatch that was already with the adapter
}

// --- Handlers that throw, block or re-enter --------------------------------

TEST_F(AFaultyAdapter, SurvivesHandlersThatThrowBlockAndReenterFromSeveralThreads)
{
    auto provider = openProvider();
    std::shared_ptr<Runtime> self = runtime;
    provider->registerTopic("throw", [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> {
        throw std::runtime_error("handler failed");
    });
    provider->registerTopic("block", [](std::shared_ptr<std::string> payload, EndpointId) {
        std::this_thread::sleep_for(2ms);
        return payload;
    });
    std::weak_ptr<Runtime> weak = runtime;
    provider->registerTopic("reenter", [weak](std::shared_ptr<std::string> payload, EndpointId) {
        if (auto live = weak.lock()) {
            auto channels = live->getChannels();
            channels->createClient("other");
            channels->createProvider("p" + *payload);
        }
        return payload;
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> firing;
    for (int t = 0; t < 3; ++t) {
        firing.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                const std::string payload = std::to_string(t) + "-" + std::to_string(i);
                const Reply thrown = native().fireEvent(providerMessage("throw", payload));
                wrong += !thrown.isError() || thrown.payload() != "handler failed" ? 1 : 0;
                const Reply blocked = native().fireEvent(providerMessage("block", payload));
                wrong += blocked.isError() || blocked.payload() != payload ? 1 : 0;
                const Reply reentered = native().fireEvent(providerMessage("reenter", payload));
                wrong += reentered.isError() || reentered.payload() != payload ? 1 : 0;
            }
        });
    }
    for (auto& thread : firing) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(AFaultyAdapter, LetsAHandlerDisconnectTheRuntimeItRunsFor)
{
    auto provider = openProvider();
    std::weak_ptr<Runtime> weak = runtime;
    provider->registerTopic("leave", [weak](std::shared_ptr<std::string>, EndpointId) {
        if (auto live = weak.lock()) {
            live->disconnectAsync().get();
        }
        return std::make_shared<std::string>("left");
    });
    const Reply reply = native().fireEvent(providerMessage("leave", ""));
    EXPECT_EQ(reply.payload(), "left");
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(native().callCount("d_halvora_disconnect"), 1u);
}

} // namespace
