// A runtime's life from the factory to destruction against the test double,
// where the adapter's side is scripted, and its manifest launches.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "../stress/StressSupport.h"
#include "RuntimeFixture.h"
#include "detail/QueuedWork.h"
#include "runtime/DebugOutput.h"

#include <gmock/gmock.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

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

// Launches send the url and the options as they were when asked for, in
// queue order, and fail once the queue has stopped.
TEST_F(ARuntime, DisconnectsLocallyThenNotifiesThenTellsTheAdapterThenLetsQueuedLaunchesFinish)
{
    connect();
    auto desktop = runtime->getDesktopSystem();
    // The first launch ends only once the adapter has been told; the others queue behind it.
    std::promise<void> release;
    native().respond(launchFunction, [released = release.get_future().share()](const Call& call) {
        const std::string url = call.request["manifest_url"];
        if (url.empty() || url == "x")
            return url.empty() ? Result::null() : Result::error("no such manifest");
        return Result::text(released.wait_for(5s) == std::future_status::ready ? "launched" : "ran first");
    });
    native().respond(disconnectFunction, [&](const Call&) {
        release.set_value();
        return Result::null();
    });
    auto first = launch();
    auto options = std::make_shared<RvmOptions>(true, false, true, "/opt", "/srv", "p", "2", "c", "9");
    auto withOptions = desktop->launchManifest("file:///b.json", options);
    options->installDirectory = "changed";
    options.reset();
    auto withoutOptions = desktop->launchManifest("", nullptr);
    auto failing = desktop->launchManifest("x", nullptr);
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
    EXPECT_THAT(order, ElementsAre("A", "disconnects sent: 0"));
    EXPECT_EQ(native().calls(disconnectFunction)[0].bytes, bytesOf({{"handle", 1}}));
    EXPECT_EQ(outcome(first), "value:launched");
    EXPECT_EQ(outcome(withOptions), "value:launched");
    EXPECT_EQ(outcome(withoutOptions), "null");
    EXPECT_EQ(outcome(failing), "error:no such manifest");
    const auto calls = native().calls(launchFunction);
    ASSERT_EQ(calls.size(), 4u);
    // The options as the options map writes them, read when the launch was asked for.
    const Json rvm = calls[1].request["rvm_options"];
    EXPECT_EQ(rvm["installDirectory"], "/opt");
    EXPECT_EQ(calls[1].bytes, bytesOf({{"handle", 1}, {"manifest_url", "file:///b.json"}, {"rvm_options", rvm}}));
    EXPECT_EQ(calls[2].bytes, bytesOf({{"handle", 1}, {"manifest_url", ""}, {"rvm_options", nullptr}}));
    // Once the runtime is gone, a launch fails without reaching the adapter.
    EXPECT_EQ(outcome(desktop->launchManifest("url", nullptr)),
              "error:The runtime's task queue has stopped; the manifest launch was not run");
    EXPECT_EQ(native().calls(launchFunction).size(), 4u);
}

// Subscribers added while being told take effect next time; the adapter's
// disconnect error is raised after the teardown; a reconnect serves with the
// new handle; unsubscribing removes every subscriber; events that arrive
// while the adapter connects (also to replace a connection) or disconnects
// are dropped.
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
        return Result::uint(10 + native().calls(connectFunction).size());
    };
    native().respond(connectFunction, fireBoth);
    connect();
    connect(); // replacing a connection
    native().respond(disconnectFunction, fireBoth);
    EXPECT_EQ(outcome(runtime->disconnectAsync()), "done");
    EXPECT_EQ(told, 3);
    EXPECT_EQ(answered, 0);
}

// A failed connect raises and leaves the runtime usable for a later one.
TEST_F(ARuntime, SurvivesFailedAndOverlappingConnectsAndDisconnectsAndASubscriberThatDisconnectsAgain)
{
    const Result unusable[] = {Result::uint(0), Result::error("no runtime"), Result::text("7"), Result::null(),
                               Result{{0xc1}},  Result::nullPointer()};
    for (std::size_t row = 0; row < std::size(unusable); ++row) {
        SCOPED_TRACE(row);
        native().script(connectFunction, unusable[row]);
        EXPECT_EQ(outcome(runtime->connectAsync()), "error:Failed to connect to the runtime");
        EXPECT_FALSE(runtime->isConnected());
        connect();
        EXPECT_EQ(outcome(launch()), "null");
        runtime->disconnectAsync().get();
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 40; ++i)
                outcome(i % 2 ? runtime->disconnectAsync() : runtime->connectAsync());
        });
    for (auto& thread : threads)
        thread.join();
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
    auto replaced = openProvider();
    launch().get();
    connect();
    // A second connect closes the first connection's ends, freeing their names.
    EXPECT_EQ(apiError([&] { replaced->broadcastAsync("t"); }), "The runtime is not connected");
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
    for (Call& call : native().calls(disconnectFunction))
        handles.push_back(call.request["handle"]);
    EXPECT_THAT(handles, ElementsAre(1, 2, 3));
    EXPECT_EQ(native().calls(launchFunction).back().request["handle"], 3); // not the replaced connection's
}

// Adapter threads route a storm of events to handlers that re-enter the
// library while application threads use the same ends, then fire on while the
// runtime is destroyed: each event is answered in full, with its own reply, or
// not at all, and every operation completes. Events of a connection that a
// second connect replaced, or of a destroyed runtime, reach no runtime.
TEST_F(ARuntime, ServesAStormOfEventsWhileApplicationThreadsUseTheSameEndsAndTheRuntimeGoes)
{
    connect();
    const Connection replaced = *native().lastConnection();
    connect();
    EXPECT_FALSE(NativeDouble::fireEvent(replaced, adapterDisconnectedEvent()).returned);
    EXPECT_TRUE(runtime->isConnected());
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
            for (int round = 0; round < 100; ++round) {
                own->registerTopic(topic, nullptr);
                for (const auto& future :
                     {client->dispatchAsync(topic, "{}"), provider->dispatchAsync(EndpointId{}, topic),
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
    factory = std::make_unique<RuntimeFactory>();
    for (int i = 0; i < 20; ++i) {
        // New runtimes, likely at the same address: none may hear the old events.
        auto next = factory->getRuntimeInstance(RuntimeOptions("app-" + std::to_string(i), "stable"));
        next->connectAsync().get();
        EXPECT_FALSE(NativeDouble::fireEvent(connection, adapterDisconnectedEvent()).returned);
        EXPECT_TRUE(next->isConnected());
    }
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
    native().respond("d_halvora_channels_client_dispatch", [&](const Call&) {
        opened[dispatched++].wait_for(5s);
        return Result::text("late");
    });
    std::string waited, queued;
    std::shared_future<std::shared_ptr<std::string>> sentAndLeft;
    provider->registerTopic("wait", answering([&] {
                                auto sent = client->dispatchAsync("inner");
                                auto behind = launch(); // failed while queued, so never sent
                                waited = outcome(sent);
                                queued = outcome(behind);
                            }));
    provider->registerTopic("leave", answering([&] { sentAndLeft = client->dispatchAsync("inner"); }));
    auto fire = [&, first = *native().lastConnection()](const std::string& topic) {
        NativeDouble::fireEvent(first, channelEvent("ChannelProviderMessage", someone, "news", topic));
    };
    // Another runtime's connect, held in the adapter, keeps the background
    // thread waiting for it alone when the deadline is armed.
    std::promise<void> connectGate, connectHeld;
    native().respond(connectFunction, [&, held = connectGate.get_future().share()](const Call&) {
        connectHeld.set_value();
        held.wait();
        return Result::uint(2);
    });
    auto connecting = factory->getRuntimeInstance(RuntimeOptions("app-2", "stable"))->connectAsync();
    connectHeld.get_future().wait();
    fire("wait");
    connectGate.set_value();
    gates[0].set_value();
    EXPECT_EQ(waited, "error:The call is still unanswered while the handler that made it runs: a handler cannot wait "
                      "for a reply that its own runtime has to deliver");
    EXPECT_EQ(queued, waited);
    // A handler that does not wait is never failed, however late the answer.
    fire("leave");
    std::this_thread::sleep_for(200ms); // past the limit
    gates[1].set_value();
    EXPECT_EQ(outcome(sentAndLeft), "value:late");
    EXPECT_TRUE(native().calls(launchFunction).empty());
    detail::setSelfWaitLimit(5000ms);
}

// The factory: one runtime per identity, shared by copies, handed over by
// moves, safe from many threads, and destroyed with the last holder.
TEST(TheRuntimeFactory, KeepsOneRuntimePerIdentityForItsCopiesAndThreadsAndDestroysItWithTheLastHolder)
{
    const RuntimeOptions app1("app-1", "stable"), app2("app-2", "stable");
    auto factory = std::make_unique<RuntimeFactory>();
    RuntimeOptions elsewhere("app-1", "stable");
    elsewhere.host = "10.0.0.1";
    elsewhere.port = 9696;
    elsewhere.arguments = "--verbose";
    auto runtime = factory->getRuntimeInstance(app1);
    EXPECT_EQ(factory->getRuntimeInstance(elsewhere), runtime);
    EXPECT_EQ(runtime->getRuntimeOptions().host, "127.0.0.1");
    EXPECT_EQ(runtime->getRuntimeId(), "app-1/stable");
    RuntimeOptions withRealm("app-1", "stable");
    withRealm.securityRealm = "blue";
    EXPECT_NE(factory->getRuntimeInstance(withRealm), runtime);
    EXPECT_EQ(factory->getRuntimeInstance(withRealm)->getRuntimeId(), "app-1/stable/blue");
    EXPECT_EQ(factory->getRuntimeInstance(RuntimeOptions("app-1", ""))->getRuntimeId(), "app-1/");

    RuntimeFactory copy(*factory);
    EXPECT_EQ(copy.getRuntimeInstance(app1), runtime);
    EXPECT_NE(copy.getRuntimeInstance(app2), factory->getRuntimeInstance(app2));
    RuntimeFactory moved(std::move(*factory));
    EXPECT_EQ(moved.getRuntimeInstance(app1), runtime);
    EXPECT_NE(factory->getRuntimeInstance(app1), runtime); // NOLINT(bugprone-use-after-move)
    RuntimeFactory assigned;
    assigned = copy;
    EXPECT_EQ(assigned.getRuntimeInstance(app1), runtime);
    assigned = RuntimeFactory();
    std::weak_ptr<Runtime> replaced = assigned.getRuntimeInstance(app1);
    EXPECT_NE(replaced.lock(), runtime);
    assigned = std::move(moved); // takes the runtimes over, releasing its own
    EXPECT_TRUE(replaced.expired());
    EXPECT_EQ(assigned.getRuntimeInstance(app1), runtime);
    EXPECT_NE(moved.getRuntimeInstance(app1), runtime); // NOLINT(bugprone-use-after-move)

    std::vector<std::shared_ptr<Runtime>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t thread = 0; thread < seen.size(); ++thread)
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 100; ++round)
                seen[thread] = factory->getRuntimeInstance(RuntimeOptions("app-" + std::to_string(round % 5), "v"));
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(std::set<std::shared_ptr<Runtime>>(seen.begin(), seen.end()).size(), 1u);

    std::weak_ptr<Runtime> watched = runtime;
    runtime.reset();
    copy = RuntimeFactory();
    EXPECT_FALSE(watched.expired()); // still held by `assigned`
    assigned = RuntimeFactory();
    EXPECT_TRUE(watched.expired());
}

} // namespace
