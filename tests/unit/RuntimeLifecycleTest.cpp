// A runtime's life from connect to destruction against the test double,
// where the adapter's side is scripted.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "../stress/StressSupport.h"
#include "RuntimeFixture.h"
#include "detail/QueuedWork.h"
#include "runtime/DebugOutput.h"

#include <gmock/gmock.h>

#include <atomic>
#include <set>

using namespace HalvoraAdapterApi;
using namespace HalvoraStress;
using namespace HalvoraTest;
using ::testing::ElementsAre;

namespace {

MessageChannelClient::TopicHandler answering(std::function<void()> first)
{
    return [first](std::shared_ptr<std::string>, EndpointId) {
        first();
        return nullptr;
    };
}

constexpr const char* connectFunction = "d_halvora_connect";
constexpr const char* disconnectFunction = "d_halvora_disconnect";
constexpr const char* launchFunction = "d_halvora_desktop_launch_manifest";
constexpr const char* dispatchFunction = "d_halvora_channels_client_dispatch";
const EndpointFields someone{"app-2", "main", "news", "ch-1", "ep-1"};

class ARuntime : public RuntimeFixture {
protected:
    void TearDown() override
    {
        RuntimeFixture::TearDown();
        EXPECT_TRUE(threadsSettleTo(baseline)) << threadCount() << " threads, " << baseline << " before";
    }
    std::shared_future<std::shared_ptr<std::string>> launch()
    {
        return runtime->getDesktopSystem()->launchManifest("file:///a.json", nullptr);
    }
    std::size_t baseline = threadBaseline();
};

TEST_F(ARuntime, RefusesWorkUntilConnectedThenSendsItsOptionsAndAContextNeverUsedBefore)
{
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(apiError([&] { runtime->getChannels(); }), "Can't use channels when not connected to the runtime");
    EXPECT_EQ(apiError([&] { runtime->getDesktopSystem(); }), "Can't use the runtime as it is not connected");
    std::vector<std::wstring> banners; // written by the connecting threads, read once they are done
    detail::setDebugOutputSink([&](const std::wstring& text) { banners.push_back(text); });
    auto other = factory->getRuntimeInstance(RuntimeOptions("app-2", "stable"));
    connect();
    other->connectAsync().get();
    connect();
    std::set<std::uint64_t> contexts;
    for (Call& call : native().calls(connectFunction)) {
        Json& r = call.request;
        contexts.insert(r["runtime_ptr"].get<std::uint64_t>());
        EXPECT_EQ(call.bytes, bytesOf({{"runtime_options", r["runtime_options"]},
                                       {"runtime_ptr", r["runtime_ptr"]},
                                       {"version", "1.2.1.34"}}));
    }
    EXPECT_EQ(native().calls(connectFunction)[0].request["runtime_options"]["uuid"], "app-1");
    EXPECT_EQ(contexts.size(), 3u);
    detail::setDebugOutputSink(nullptr);
    EXPECT_EQ(banners, std::vector<std::wstring>(3, L"**** Initialising Halvora C++ Adapter v1.2.1.34 ****\n"));
}

class AFailedConnect : public RuntimeFixture, public ::testing::WithParamInterface<Result> {};

TEST_P(AFailedConnect, RaisesAndLeavesTheRuntimeUsableForALaterConnect)
{
    native().script(connectFunction, GetParam());
    EXPECT_EQ(outcome(runtime->connectAsync()), "error:Failed to connect to the runtime");
    EXPECT_FALSE(runtime->isConnected());
    connect();
    EXPECT_EQ(outcome(runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr)), "null");
}

} // namespace

namespace HalvoraTest {
// Rows are named; their bytes would only make the listed names vary.
static void PrintTo(const Result& result, std::ostream* out)
{
    *out << result.bytes.size() << " bytes";
}
} // namespace HalvoraTest

namespace {

const auto unusableName = [](const auto& info) {
    const char* const names[] = {"Zero", "Error", "Text", "Null", "Undecodable", "NoBuffer"};
    return std::string(names[info.index]);
};
INSTANTIATE_TEST_SUITE_P(UnusableResults, AFailedConnect,
                         ::testing::Values(Result::uint(0), Result::error("no runtime"), Result::text("7"),
                                           Result::null(), Result::raw({0xc1}), Result::nullPointer()),
                         unusableName);

TEST_F(ARuntime, DisconnectsLocallyThenNotifiesThenTellsTheAdapterThenLetsQueuedWorkFinish)
{
    connect();
    // The queued launch ends only once the adapter has been told.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    native().respond(launchFunction, [released](const Call&) {
        return Result::text(released.wait_for(5s) == std::future_status::ready ? "launched" : "ran first");
    });
    native().respond(disconnectFunction, [&](const Call&) {
        release.set_value();
        return Result::null();
    });
    auto launched = launch();
    std::vector<std::string> order;
    runtime->subscribeDisconnected([&] {
        order.push_back(runtime->isConnected() ? "A connected" : "A");
        order.push_back("disconnects sent: " + std::to_string(native().calls(disconnectFunction).size()));
    });
    runtime->subscribeDisconnected(std::function<void()>());
    runtime->subscribeDisconnected([&] { order.push_back("C"); });
    auto disconnected = runtime->disconnectAsync();
    // An empty subscriber ends the walk; the adapter is still told and the queue drained.
    EXPECT_THROW(disconnected.get(), std::bad_function_call);
    EXPECT_EQ(outcome(launched), "value:launched");
    EXPECT_THAT(order, ElementsAre("A", "disconnects sent: 0"));
    EXPECT_EQ(native().calls(disconnectFunction)[0].bytes, bytesOf({{"handle", 1}}));
}

// Subscribers added while being told take effect next time; the adapter's
// disconnect error is raised after the teardown; a reconnect serves with the
// new handle; unsubscribing removes every subscriber; events that arrive
// while the adapter connects or disconnects are dropped.
TEST_F(ARuntime, ReconnectsAfterADisconnectAndServesWithTheNewHandle)
{
    connect();
    int told = 0;
    runtime->subscribeDisconnected([&] {
        ++told;
        runtime->subscribeDisconnected([&] { ++told; });
    });
    native().script(disconnectFunction, Result::error("adapter refused"));
    EXPECT_EQ(outcome(runtime->disconnectAsync()), "error:adapter refused");
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(told, 1);
    connect();
    launch().get();
    EXPECT_EQ(native().calls(launchFunction).back().request["handle"], 2);
    runtime->disconnectAsync().get();
    EXPECT_EQ(told, 3);
    runtime->unsubscribeDisconnected(nullptr);
    int answered = 0;
    const auto fireBoth = [&](const Call&) {
        answered += native().fireEvent(channelEvent("ChannelMessage", someone, "news")).returned +
                    native().fireEvent(adapterDisconnectedEvent()).returned;
        return Result::uint(5);
    };
    native().respond(connectFunction, fireBoth);
    native().respond(disconnectFunction, fireBoth);
    connect();
    EXPECT_EQ(outcome(runtime->disconnectAsync()), "done");
    EXPECT_EQ(told, 3);
    EXPECT_EQ(answered, 0);
    EXPECT_EQ(native().calls(disconnectFunction).back().request["handle"], 5);
}

TEST_F(ARuntime, SurvivesOverlappingConnectsAndDisconnectsAndASubscriberThatDisconnectsAgain)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                outcome(runtime->connectAsync());
                outcome(runtime->disconnectAsync());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    runtime->disconnectAsync().get();
    connect();
    const std::size_t sent = native().calls(disconnectFunction).size();
    int told = 0;
    runtime->subscribeDisconnected([&] {
        ++told;
        runtime->registerDisconnection();
        runtime->disconnectAsync().get();
    });
    native().fireEvent(adapterDisconnectedEvent());
    EXPECT_EQ(told, 1);
    EXPECT_EQ(native().calls(disconnectFunction).size(), sent + 1);
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
    std::promise<void> close;
    native().respond(disconnectFunction, [&](const Call& call) {
        if (call.request["handle"] == 3)
            close.set_value();
        return Result::null();
    });
    native().respond(launchFunction, [closed = close.get_future().share()](const Call&) {
        return closed.wait_for(5s) == std::future_status::ready ? Result::error("closed") : Result::text("hung");
    });
    auto launched = launch();
    auto provider = openProvider();
    bool told = false;
    runtime->subscribeDisconnected([&] { told = true; });
    runtime.reset();
    idle.reset();
    finished.reset();
    factory.reset();
    EXPECT_EQ(outcome(launched, 0ms), "error:closed");
    EXPECT_FALSE(told);
    // An end the application still holds is closed with its runtime.
    EXPECT_EQ(apiError([&] { provider->broadcastAsync("t"); }), "The runtime is not connected");
    // Handle 1 by its disconnect, 2 when 3 replaced it, 3 at destruction, and
    // nothing for the runtime that never connected or was disconnected already.
    std::vector<Json> handles;
    for (Call& call : native().calls(disconnectFunction)) {
        handles.push_back(call.request["handle"]);
    }
    EXPECT_THAT(handles, ElementsAre(1, 2, 3));
}

TEST_F(ARuntime, NeverLetsLateEventsOfAClosedConnectionReachAnyRuntime)
{
    connect();
    const Connection first = *native().lastConnection();
    connect();
    const auto lost = adapterDisconnectedEvent();
    // The replaced connection's disconnection changes nothing.
    EXPECT_FALSE(NativeDouble::fireEvent(first, lost).returned);
    EXPECT_TRUE(runtime->isConnected());
    const Connection second = *native().lastConnection();
    runtime.reset();
    factory = std::make_unique<RuntimeFactory>();
    for (int i = 0; i < 20; ++i) {
        // New runtimes, likely at the same address: none may hear the old events.
        auto next = factory->getRuntimeInstance(RuntimeOptions("app-" + std::to_string(i), "stable"));
        next->connectAsync().get();
        EXPECT_FALSE(NativeDouble::fireEvent(second, lost).returned);
        EXPECT_TRUE(next->isConnected());
    }
}

// Adapter threads route a storm of events to handlers that re-enter the
// library while application threads use the same ends, then fire on while the
// runtime is destroyed: each event is answered in full, with its own reply, or
// not at all, and every operation completes.
TEST_F(ARuntime, ServesAStormOfEventsWhileApplicationThreadsUseTheSameEndsAndTheRuntimeGoes)
{
    connect();
    auto provider = openProvider();
    auto client = connectedClient();
    std::atomic<int> clientMessages{0}, connections{0}, wrong{0}, failures{0};
    std::atomic<bool> stop{false};
    provider->registerTopic("reenter", [weak = std::weak_ptr<Runtime>(runtime)](auto payload, EndpointId) {
        if (auto live = weak.lock())
            live->getChannels()->createProvider("p" + *payload);
        return payload;
    });
    client->registerTopic("count", answering([&] { ++clientMessages; }));
    provider->subscribeClientConnected([&](const EndpointId&) { ++connections; });
    const Connection connection = *native().lastConnection();
    const auto reenter = [&](const std::string& payload) {
        return NativeDouble::fireEvent(connection,
                                       channelEvent("ChannelProviderMessage", someone, "news", "reenter", payload));
    };
    std::vector<std::thread> adapterThreads, applicationThreads;
    for (int t = 0; t < 4; ++t) {
        adapterThreads.emplace_back([&, t] {
            for (int i = 0; i < 250; ++i) {
                EndpointFields from = someone;
                from.endpointId = std::to_string(i % 8);
                native().fireEvent(
                    channelEvent(i % 2 ? "ProviderClientConnected" : "ProviderClientDisconnected", from, "news"));
                const std::string payload = std::to_string(t) + "-" + std::to_string(i);
                wrong += reenter(payload).payload() == payload ? 0 : 1;
                native().fireEvent(channelEvent("ChannelMessage", someone, "news", "count"));
            }
        });
        applicationThreads.emplace_back([&, t] {
            auto own = runtime->getChannels()->createClient("news");
            const std::string topic = "topic-" + std::to_string(t);
            const EndpointId endpoint{someone.uuid, someone.name, someone.channelName, someone.channelId,
                                      someone.endpointId};
            for (int round = 0; round < 100; ++round) {
                own->registerTopic(topic, nullptr);
                for (const auto& future : {client->dispatchAsync(topic, "{}"), provider->dispatchAsync(endpoint, topic),
                                           provider->broadcastAsync(topic)})
                    failures += outcome(future).rfind("error", 0) == 0 ? 1 : 0;
                own->unregisterTopic(topic);
            }
        });
    }
    for (auto* threads : {&adapterThreads, &applicationThreads})
        for (auto& thread : *threads)
            thread.join();
    EXPECT_EQ(clientMessages.load(), 1000);
    EXPECT_EQ(connections.load(), 500);
    std::vector<std::thread> late;
    for (int t = 0; t < 4; ++t)
        late.emplace_back([&] {
            while (!stop) {
                const Reply reply = reenter("late");
                wrong += reply.returned && reply.map.size() != 3 ? 1 : 0;
            }
        });
    provider.reset();
    client.reset();
    runtime.reset();
    factory.reset();
    stop = true;
    for (auto& thread : late)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failures.load(), 0);
}

TEST_F(ARuntime, FailsACallThatAHandlerWaitsForWhileItsOwnEventThreadIsBlocked)
{
    detail::setSelfWaitLimit(100ms);
    connect();
    auto provider = openProvider();
    auto client = connectedClient();
    // The reply would come through the event thread, which the handler blocks;
    // each dispatch is answered once its gate opens.
    std::promise<void> gates[2];
    const std::shared_future<void> opened[2] = {gates[0].get_future().share(), gates[1].get_future().share()};
    std::atomic<int> dispatched{0};
    native().respond(dispatchFunction, [&](const Call&) {
        opened[dispatched++].wait_for(5s);
        return Result::text("late");
    });
    std::string waited;
    std::shared_future<std::shared_ptr<std::string>> sentAndLeft;
    provider->registerTopic("wait", answering([&] { waited = outcome(client->dispatchAsync("inner")); }));
    provider->registerTopic("leave", answering([&] { sentAndLeft = client->dispatchAsync("inner"); }));
    auto fire = [&](const std::string& topic) {
        native().fireEvent(channelEvent("ChannelProviderMessage", someone, "news", topic));
    };
    fire("wait");
    gates[0].set_value();
    EXPECT_EQ(waited, "error:The call is still unanswered while the handler that made it runs: a handler cannot wait "
                      "for a reply that its own runtime has to deliver");
    // A handler that does not wait is never failed, however late the answer.
    fire("leave");
    std::this_thread::sleep_for(200ms); // past the limit
    gates[1].set_value();
    EXPECT_EQ(outcome(sentAndLeft), "value:late");
    detail::setSelfWaitLimit(5000ms);
}

} // namespace
