// A runtime's life from connect to destruction. Built twice: against the test
// double, where the adapter's side has to be scripted, and (with
// HALVORA_ON_EMBEDDED_ADAPTER) against the embedded adapter, where going away
// cleanly is real behaviour: threads, open providers and waiting clients.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "../stress/StressSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

using namespace HalvoraAdapterApi;
using namespace HalvoraStress;
using ::testing::ElementsAre;

namespace {

std::shared_ptr<std::string> text(const std::string& value)
{
    return std::make_shared<std::string>(value);
}

template <typename Operation>
std::string messageOf(Operation operation)
{
    try {
        operation();
    } catch (const HalvoraApiException& error) {
        return error.what();
    }
    return "(nothing raised)";
}

} // namespace

#ifdef HALVORA_ON_EMBEDDED_ADAPTER

namespace {

class ARuntimeOnTheEmbeddedAdapter : public ::testing::Test {
protected:
    void SetUp() override { baseline = threadBaseline(); }
    void TearDown() override
    {
        factory.reset();
        EXPECT_TRUE(threadsSettleTo(baseline)) << threadCount() << " threads, " << baseline << " before";
    }

    std::shared_ptr<Runtime> connected(const std::string& uuid)
    {
        auto runtime = factory->getRuntimeInstance(RuntimeOptions(uuid, "stable"));
        runtime->connectAsync().get();
        return runtime;
    }

    std::shared_ptr<ChannelProvider> provider(const std::shared_ptr<Runtime>& runtime, const std::string& channel)
    {
        auto opened = runtime->getChannels()->createProvider(channel);
        opened->openAsync().get();
        return opened;
    }

    std::shared_ptr<ChannelClient> client(const std::shared_ptr<Runtime>& runtime, const std::string& channel)
    {
        auto joined = runtime->getChannels()->createClient(channel);
        joined->connectAsync(false).get();
        return joined;
    }

    std::unique_ptr<RuntimeFactory> factory = std::make_unique<RuntimeFactory>();
    std::size_t baseline = 0;
};

TEST_F(ARuntimeOnTheEmbeddedAdapter, ClosesItsConnectionWhenDestroyedEvenWithAClientWaitingForAProvider)
{
    auto other = std::make_unique<RuntimeFactory>();
    auto asker = other->getRuntimeInstance(RuntimeOptions("asker", "stable"));
    asker->connectAsync().get();
    auto quoting = connected("quotes");
    auto quotes = provider(quoting, "quotes");
    auto waiting = quoting->getChannels()->createClient("absent")->connectAsync(true);
    quoting.reset();

    // Dropping the factory must neither wait for the provider that never comes
    // nor leave the provider open, answering for a runtime that is gone.
    auto dropped = std::async(std::launch::async, [&] { factory.reset(); });
    ASSERT_EQ(dropped.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(outcomeOf(waiting), Outcome::ApiError);
    auto stranger = asker->getChannels()->createClient("quotes");
    EXPECT_EQ(outcomeOf(stranger->connectAsync(false)), Outcome::ApiError);
    quotes.reset();
    asker->disconnectAsync().get();
}

TEST_F(ARuntimeOnTheEmbeddedAdapter, GoesAwayWhenItsOwnHandlerDropsTheLastReference)
{
    auto runtime = connected("self");
    std::weak_ptr<Runtime> watched = runtime;
    auto served = provider(runtime, "self");
    served->registerTopic("drop", [&](std::shared_ptr<std::string>, EndpointId) {
        factory.reset();
        runtime.reset();
        return text("dropped");
    });
    auto asking = client(runtime, "self");
    // The runtime's own worker waits for the reply of the handler that drops it.
    auto reply = asking->dispatchAsync("drop");
    asking.reset();
    served.reset();
    EXPECT_NE(outcomeOf(reply, nullptr, 5000ms), Outcome::Timeout);
    for (int wait = 0; wait < 500 && !watched.expired(); ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(watched.expired());
}

TEST_F(ARuntimeOnTheEmbeddedAdapter, DisconnectsFromInsideItsOwnHandlerOnceTheHandlerHasReturned)
{
    auto runtime = connected("leaver");
    std::atomic<int> told{0};
    runtime->subscribeDisconnected([&] { ++told; });
    auto served = provider(runtime, "leave");
    served->registerTopic("bye", [&](std::shared_ptr<std::string>, EndpointId) {
        runtime->disconnectAsync(); // dropped at once: must not wait for this very handler
        return text("bye");
    });
    auto asking = client(connected("asker"), "leave");
    EXPECT_NE(outcomeOf(asking->dispatchAsync("bye"), nullptr, 5000ms), Outcome::Timeout);
    // The runtime reads as disconnected before its subscribers are told.
    for (int wait = 0; wait < 500 && (runtime->isConnected() || told.load() == 0); ++wait) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(told.load(), 1);
}

TEST_F(ARuntimeOnTheEmbeddedAdapter, LeavesNothingOfAConnectionThatASecondConnectReplaced)
{
    auto runtime = connected("again");
    auto old = provider(runtime, "old");
    std::this_thread::sleep_for(50ms); // the connect's own thread ends
    const std::size_t oneConnection = threadCount();
    for (int round = 0; round < 5; ++round) {
        runtime->connectAsync().get();
    }
    EXPECT_TRUE(threadsSettleTo(oneConnection));
    EXPECT_TRUE(runtime->isConnected());
    EXPECT_EQ(messageOf([&] { old->broadcastAsync("t").get(); }), "The runtime is not connected");
    // The old provider is closed, so its channel is free for the new connection.
    EXPECT_EQ(outcomeOf(runtime->getChannels()->createProvider("old")->openAsync()), Outcome::Value);
    runtime->disconnectAsync().get();
}

TEST_F(ARuntimeOnTheEmbeddedAdapter, NeverReportsAFailedOrUnansweredDispatchAsSuccess)
{
    auto serving = connected("server");
    auto served = provider(serving, "odd");
    served->registerTopic("throws",
                          [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> { throw 42; });
    served->registerTopic("nothing", [](std::shared_ptr<std::string>, EndpointId) { return nullptr; });
    auto asking = client(connected("asker"), "odd");

    EXPECT_EQ(messageOf([&] { asking->dispatchAsync("throws").get(); }),
              "A topic handler threw an exception that is not a std::exception");
    EXPECT_EQ(asking->dispatchAsync("nothing").get(), nullptr);
    // Disconnected locally only: the adapter still routes to it, and it does not answer.
    serving->registerDisconnection();
    EXPECT_EQ(messageOf([&] { asking->dispatchAsync("nothing").get(); }), "The application did not answer");
}

} // namespace

#else // the test double

#include "RuntimeFixture.h"
#include "detail/QueuedWork.h"

using namespace HalvoraTest;

namespace {

constexpr const char* connectFunction = "d_halvora_connect";
constexpr const char* disconnectFunction = "d_halvora_disconnect";
constexpr const char* launchFunction = "d_halvora_desktop_launch_manifest";
constexpr const char* dispatchFunction = "d_halvora_channels_client_dispatch";
const EndpointFields someone{"app-2", "main", "prices", "ch-1", "ep-1"};

class ARuntime : public RuntimeFixture {
protected:
    void SetUp() override
    {
        baseline = threadBaseline();
        RuntimeFixture::SetUp();
    }
    void TearDown() override
    {
        RuntimeFixture::TearDown();
        EXPECT_TRUE(threadsSettleTo(baseline)) << threadCount() << " threads, " << baseline << " before";
    }

    std::shared_ptr<ChannelProvider> openProvider()
    {
        native().script("d_halvora_channels_create_provider", Result::text("provider-1"));
        auto provider = runtime->getChannels()->createProvider("prices");
        provider->openAsync().get();
        return provider;
    }

    std::shared_ptr<ChannelClient> connectedClient()
    {
        native().script("d_halvora_channels_connect_to_provider", Result::text("client-1"));
        auto client = runtime->getChannels()->createClient("prices");
        client->connectAsync(false).get();
        return client;
    }

    std::size_t baseline = 0;
};

TEST_F(ARuntime, RefusesChannelsAndLaunchesUntilConnected)
{
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(messageOf([&] { runtime->getChannels(); }), "Can't use channels when not connected to the runtime");
    EXPECT_EQ(messageOf([&] { runtime->getDesktopSystem(); }), "Can't use the runtime as it is not connected");
}

TEST_F(ARuntime, EmitsTheBannerAndSendsItsOptionsVersionAndAContextNeverUsedBeforeOnEveryConnect)
{
    auto other = factory->getRuntimeInstance(RuntimeOptions("app-2", "stable"));
    connect();
    other->connectAsync().get();
    connect();
    const auto calls = native().calls(connectFunction);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_THAT(calls[0].request.keys(), ElementsAre("runtime_options", "runtime_ptr", "version"));
    EXPECT_EQ(calls[0].request["version"].str(), "1.2.1.34");
    EXPECT_EQ(calls[0].request["runtime_options"]["uuid"].str(), "app-1");
    const std::set<std::uint64_t> contexts{calls[0].request["runtime_ptr"].uint(),
                                           calls[1].request["runtime_ptr"].uint(),
                                           calls[2].request["runtime_ptr"].uint()};
    EXPECT_EQ(contexts.size(), 3u);
    EXPECT_THAT(bannersSeen(), ::testing::Each(L"**** Initialising Halvora C++ Adapter v1.2.1.34 ****\n"));
    EXPECT_EQ(bannersSeen().size(), 3u);
}

class AFailedConnect : public RuntimeFixture, public ::testing::WithParamInterface<Result> {};

TEST_P(AFailedConnect, RaisesAndLeavesTheRuntimeUsableForALaterConnect)
{
    native().script(connectFunction, GetParam());
    EXPECT_EQ(messageOf([&] { runtime->connectAsync().get(); }), "Failed to connect to the runtime");
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(native().outstandingBuffers(), 0u);
    connect();
    EXPECT_FALSE(runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr).get());
}

INSTANTIATE_TEST_SUITE_P(UnusableResults, AFailedConnect,
                         ::testing::Values(Result::uint(0), Result::error("no runtime"), Result::text("7"),
                                           Result::null(), Result::raw({0xc1}), Result::nullPointer()));

TEST_F(ARuntime, DisconnectsLocallyThenNotifiesThenTellsTheAdapterThenLetsQueuedWorkFinish)
{
    connect();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    native().respond(launchFunction, [released](const Call&) {
        released.wait();
        return Result::text("launched");
    });
    auto launch = runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr);
    std::vector<std::string> order;
    runtime->subscribeDisconnected([&] {
        order.push_back(runtime->isConnected() ? "A connected" : "A");
        order.push_back("disconnects sent: " + std::to_string(native().callCount(disconnectFunction)));
    });
    runtime->subscribeDisconnected(std::function<void()>());
    runtime->subscribeDisconnected([&] { order.push_back("C"); });
    auto disconnected = runtime->disconnectAsync();
    ASSERT_TRUE(native().waitForCalls(disconnectFunction, 1));
    EXPECT_EQ(launch.wait_for(0ms), std::future_status::timeout);
    release.set_value();
    // An empty subscriber ends the walk; the adapter is still told and the queue drained.
    EXPECT_THROW(disconnected.get(), std::bad_function_call);
    EXPECT_EQ(*launch.get(), "launched");
    EXPECT_THAT(order, ElementsAre("A", "disconnects sent: 0"));
    EXPECT_EQ(native().calls(disconnectFunction)[0].bytes, hexBytes("81 a6 68 61 6e 64 6c 65 01"));
}

// Subscribers added while being told take effect next time; the adapter's
// disconnect error is raised after the teardown; a reconnect serves with the
// new handle; unsubscribing removes every subscriber.
TEST_F(ARuntime, ReconnectsAfterADisconnectAndServesWithTheNewHandle)
{
    connect();
    int told = 0;
    runtime->subscribeDisconnected([&] {
        ++told;
        runtime->subscribeDisconnected([&] { ++told; });
    });
    native().script(disconnectFunction, Result::error("adapter refused"));
    EXPECT_EQ(messageOf([&] { runtime->disconnectAsync().get(); }), "adapter refused");
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(told, 1);
    connect();
    runtime->getDesktopSystem()->launchManifest("file:///a.json", nullptr).get();
    EXPECT_EQ(native().calls(launchFunction).back().request["handle"].uint(), 2u);
    runtime->disconnectAsync().get();
    EXPECT_EQ(told, 3);
    runtime->unsubscribeDisconnected(nullptr);
    connect();
    runtime->disconnectAsync().get();
    EXPECT_EQ(told, 3);
}

TEST_F(ARuntime, SurvivesOverlappingConnectsAndDisconnectsFromManyThreads)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                outcomeOf(runtime->connectAsync());
                outcomeOf(runtime->disconnectAsync());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    runtime->disconnectAsync().get();
    connect();
    EXPECT_TRUE(runtime->isConnected());
}

TEST_F(ARuntime, LetsASubscriberDisconnectItsOwnRuntimeAgainWithoutBeingCalledAgain)
{
    connect();
    int told = 0;
    runtime->subscribeDisconnected([&] {
        ++told;
        runtime->registerDisconnection();
        runtime->disconnectAsync().get();
    });
    native().fireEvent(adapterDisconnectedEvent());
    EXPECT_EQ(told, 1);
    EXPECT_EQ(native().callCount(disconnectFunction), 1u);
}

TEST_F(ARuntime, ClosesItsConnectionOnceWhenDestroyedAndEndsWhatOnlyTheAdapterCouldEnd)
{
    auto idle = factory->getRuntimeInstance(RuntimeOptions("never", "connected"));
    auto finished = factory->getRuntimeInstance(RuntimeOptions("already", "disconnected"));
    finished->connectAsync().get();
    finished->disconnectAsync().get();
    connect();
    connect();
    // A launch that the adapter ends only when the connection closes.
    native().respond(launchFunction, [this](const Call&) {
        return native().waitForCalls(disconnectFunction, 3) ? Result::error("closed") : Result::text("hung");
    });
    auto launch = runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr);
    bool told = false;
    runtime->subscribeDisconnected([&] { told = true; });

    runtime.reset();
    idle.reset();
    finished.reset();
    factory.reset();
    EXPECT_EQ(outcomeOf(launch, nullptr, 0ms), Outcome::ApiError);
    EXPECT_FALSE(told);
    // Handle 1 by its disconnect, 2 when 3 replaced it, 3 at destruction, and
    // nothing for the runtime that never connected or was disconnected already.
    std::vector<std::uint64_t> handles;
    for (const Call& call : native().calls(disconnectFunction)) {
        handles.push_back(call.request["handle"].uint());
    }
    EXPECT_THAT(handles, ElementsAre(1u, 2u, 3u));
}

TEST_F(ARuntime, NeverLetsLateEventsOfAClosedConnectionReachAnyRuntime)
{
    connect();
    const Connection first = *native().lastConnection();
    connect();
    const auto lost = adapterDisconnectedEvent();
    // The replaced connection's disconnection changes nothing.
    EXPECT_FALSE(NativeDouble::fireEvent(first, lost.data(), lost.size()).returned);
    EXPECT_TRUE(runtime->isConnected());

    const Connection second = *native().lastConnection();
    runtime.reset();
    factory = std::make_unique<RuntimeFactory>();
    for (int i = 0; i < 20; ++i) {
        // New runtimes, likely at the same address: none may hear the old events.
        auto next = factory->getRuntimeInstance(RuntimeOptions("app-" + std::to_string(i), "stable"));
        next->connectAsync().get();
        EXPECT_FALSE(NativeDouble::fireEvent(second, lost.data(), lost.size()).returned);
        EXPECT_TRUE(next->isConnected());
    }
}

TEST_F(ARuntime, GoesAwayWhenTheLastReferenceIsDroppedInACallbackOnItsOwnWorker)
{
    connect();
    std::weak_ptr<Runtime> watched = runtime;
    auto provider = openProvider();
    provider->registerTopic("drop", [this](std::shared_ptr<std::string>, EndpointId) {
        runtime.reset();
        factory.reset();
        return text("dropped");
    });
    // This adapter calls back on the calling thread: the runtime's own worker.
    native().respond(dispatchFunction, [this](const Call&) {
        const Reply reply = native().fireEvent(channelEvent("ChannelProviderMessage", someone, "prices", "drop"));
        return Result::text(reply.payload());
    });
    auto client = connectedClient();
    std::string answer;
    EXPECT_EQ(outcomeOf(client->dispatchAsync("drop"), &answer, 5000ms), Outcome::Value);
    EXPECT_EQ(answer, "dropped");
    client.reset();
    provider.reset();
    ASSERT_TRUE(native().waitForCalls(disconnectFunction, 1));
    EXPECT_TRUE(watched.expired());
}

TEST_F(ARuntime, FailsACallThatAHandlerWaitsForWhileItsOwnEventThreadIsBlocked)
{
    detail::setSelfWaitLimit(200ms);
    connect();
    auto provider = openProvider();
    auto client = connectedClient();
    std::atomic<bool> handlerDone{false};
    // The reply would come through the event thread, which the handler blocks.
    native().respond(dispatchFunction, [&](const Call&) {
        for (int wait = 0; wait < 500 && !handlerDone; ++wait) {
            std::this_thread::sleep_for(10ms);
        }
        return Result::text("late");
    });
    std::string waited;
    std::shared_future<std::shared_ptr<std::string>> sentAndLeft;
    provider->registerTopic("wait", [&](std::shared_ptr<std::string>, EndpointId) {
        waited = messageOf([&] { client->dispatchAsync("inner").get(); });
        return nullptr;
    });
    provider->registerTopic("leave", [&](std::shared_ptr<std::string>, EndpointId) {
        sentAndLeft = client->dispatchAsync("inner");
        return nullptr;
    });
    native().fireEvent(channelEvent("ChannelProviderMessage", someone, "prices", "wait"));
    handlerDone = true;
    EXPECT_EQ(waited, "The call is still unanswered while the handler that made it runs: a handler cannot wait for "
                      "a reply that its own runtime has to deliver");
    // A handler that does not wait is never failed, however late the answer.
    handlerDone = false;
    native().fireEvent(channelEvent("ChannelProviderMessage", someone, "prices", "leave"));
    std::this_thread::sleep_for(400ms);
    handlerDone = true;
    std::string answer;
    EXPECT_EQ(outcomeOf(sentAndLeft, &answer), Outcome::Value);
    EXPECT_EQ(answer, "late");
    detail::setSelfWaitLimit(5000ms);
}

} // namespace

#endif
