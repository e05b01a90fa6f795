#include <HalvoraAdapterApi/HalvoraApiException.h>
#include <HalvoraAdapterApi/Runtime.h>

#include "RuntimeFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <future>
#include <stdexcept>
#include <thread>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using ::testing::ElementsAre;

namespace {

constexpr const char* connectFunction = "d_halvora_connect";
constexpr const char* disconnectFunction = "d_halvora_disconnect";
constexpr const char* launchFunction = "d_halvora_desktop_launch_manifest";

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

using AFreshRuntime = RuntimeFixture;

TEST_F(AFreshRuntime, RefusesChannelsAndLaunchesUntilConnected)
{
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(messageOf([&] { runtime->getChannels(); }), "Can't use channels when not connected to the runtime");
    EXPECT_EQ(messageOf([&] { runtime->getDesktopSystem(); }), "Can't use the runtime as it is not connected");
}

TEST_F(AFreshRuntime, SendsItsOptionsAddressAndVersionWhenConnecting)
{
    auto other = factory->getRuntimeInstance(RuntimeOptions("app-2", "stable"));
    connect();
    other->connectAsync().get();

    const auto calls = native().calls(connectFunction);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_THAT(calls[0].request.keys(), ElementsAre("runtime_options", "runtime_ptr", "version"));
    EXPECT_EQ(calls[0].request["version"].str(), "1.2.1.34");
    EXPECT_EQ(calls[0].request["runtime_options"]["uuid"].str(), "app-1");
    EXPECT_EQ(calls[0].request["runtime_ptr"].uint(), reinterpret_cast<std::uintptr_t>(runtime.get()));
    EXPECT_EQ(calls[1].request["runtime_ptr"].uint(), reinterpret_cast<std::uintptr_t>(other.get()));
    EXPECT_TRUE(runtime->isConnected());
}

TEST_F(AFreshRuntime, EmitsTheBannerOnEveryConnectAttempt)
{
    native().script(connectFunction, Result::uint(0));
    EXPECT_THROW(runtime->connectAsync().get(), HalvoraApiException);
    connect();
    EXPECT_THAT(bannersSeen(), ElementsAre(L"**** Initialising Halvora C++ Adapter v1.2.1.34 ****\n",
                                           L"**** Initialising Halvora C++ Adapter v1.2.1.34 ****\n"));
}

TEST_F(AFreshRuntime, SendsHandleZeroWhenDisconnectedBeforeEverConnecting)
{
    int notified = 0;
    runtime->subscribeDisconnected([&] { ++notified; });
    runtime->disconnectAsync().get();
    EXPECT_EQ(notified, 1);
    const auto calls = native().calls(disconnectFunction);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes, hexBytes("81 a6 68 61 6e 64 6c 65 00"));
}

class AFailedConnect : public RuntimeFixture, public ::testing::WithParamInterface<Result> {};

TEST_P(AFailedConnect, RaisesAndLeavesTheRuntimeUsableForALaterConnect)
{
    native().script(connectFunction, GetParam());
    EXPECT_EQ(messageOf([&] { runtime->connectAsync().get(); }), "Failed to connect to the runtime");
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(native().outstandingBuffers(), 0u);

    connect();
    EXPECT_TRUE(runtime->isConnected());
    EXPECT_FALSE(runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr).get());
}

std::string caseName(const ::testing::TestParamInfo<Result>& info)
{
    static const char* const names[] = {"Zero", "Error", "Text", "Null", "Undecodable", "NullPointer"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(UnusableResults, AFailedConnect,
                         ::testing::Values(Result::uint(0), Result::error("no runtime"), Result::text("7"),
                                           Result::null(), Result::raw({0xc1}), Result::nullPointer()),
                         caseName);

using AConnectedRuntime = RuntimeFixture;

TEST_F(AConnectedRuntime, KeepsOneRegistryPerConnection)
{
    connect();
    auto channels = runtime->getChannels();
    EXPECT_EQ(runtime->getChannels(), channels);
    runtime->registerDisconnection();
    EXPECT_FALSE(runtime->isConnected());
    connect();
    EXPECT_NE(runtime->getChannels(), channels);
}

TEST_F(AConnectedRuntime, DisconnectsLocallyThenNotifiesThenTellsTheAdapterAfterQueuedWork)
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
    runtime->subscribeDisconnected([&] { order.push_back("B"); });
    auto disconnected = runtime->disconnectAsync();
    ASSERT_TRUE(native().waitForCalls(disconnectFunction, 1));
    // The queue drains after the adapter has been told: the launch is still held.
    EXPECT_EQ(launch.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    release.set_value();
    disconnected.get();
    EXPECT_EQ(*launch.get(), "launched");
    EXPECT_THAT(order, ElementsAre("A", "disconnects sent: 0", "B"));
}

TEST_F(AConnectedRuntime, TearsDownEvenWhenASubscriberFails)
{
    connect();
    bool lastCalled = false;
    runtime->subscribeDisconnected([] { throw std::runtime_error("subscriber failed"); });
    runtime->subscribeDisconnected([&] { lastCalled = true; });
    auto disconnected = runtime->disconnectAsync();
    EXPECT_THROW(disconnected.get(), std::runtime_error);
    EXPECT_FALSE(lastCalled);
    EXPECT_EQ(native().callCount(disconnectFunction), 1u);
    EXPECT_FALSE(runtime->isConnected());
}

TEST_F(AConnectedRuntime, RaisesTheAdaptersDisconnectError)
{
    connect();
    native().script(disconnectFunction, Result::error("unknown connection"));
    EXPECT_EQ(messageOf([&] { runtime->disconnectAsync().get(); }), "unknown connection");
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(native().outstandingBuffers(), 0u);
}

TEST_F(AConnectedRuntime, NotifiesSubscribersInOrderAndForgetsAllOnUnsubscribe)
{
    connect();
    std::vector<char> seen;
    std::function<void()> second = [&] { seen.push_back('B'); };
    runtime->subscribeDisconnected([&] { seen.push_back('A'); });
    runtime->subscribeDisconnected(second);
    runtime->subscribeDisconnected([&] { seen.push_back('C'); });
    runtime->registerDisconnection();
    EXPECT_THAT(seen, ElementsAre('A', 'B', 'C'));

    runtime->unsubscribeDisconnected(second);
    runtime->registerDisconnection();
    EXPECT_EQ(seen.size(), 3u);
}

TEST_F(AConnectedRuntime, StopsTheWalkAtAnEmptySubscriber)
{
    connect();
    std::vector<char> seen;
    runtime->subscribeDisconnected([&] { seen.push_back('A'); });
    runtime->subscribeDisconnected(std::function<void()>());
    runtime->subscribeDisconnected([&] { seen.push_back('C'); });
    EXPECT_THROW(runtime->registerDisconnection(), std::bad_function_call);
    EXPECT_THAT(seen, ElementsAre('A'));
}

TEST_F(AConnectedRuntime, LetsSubscribersChangeTheListWhileBeingNotified)
{
    connect();
    int late = 0;
    runtime->subscribeDisconnected([&] { runtime->subscribeDisconnected([&] { ++late; }); });
    runtime->registerDisconnection();
    EXPECT_EQ(late, 0);
    runtime->registerDisconnection();
    EXPECT_EQ(late, 1);
}

using AReconnectingRuntime = RuntimeFixture;

TEST_F(AReconnectingRuntime, ServesChannelsAndLaunchesWithTheNewHandle)
{
    connect();
    auto firstLauncher = runtime->getDesktopSystem();
    runtime->disconnectAsync().get();
    connect();

    auto launcher = runtime->getDesktopSystem();
    EXPECT_NE(launcher, firstLauncher);
    native().script(launchFunction, Result::text("ok"));
    EXPECT_EQ(*launcher->launchManifest("https://example.test/app.json", nullptr).get(), "ok");
    const auto launches = native().calls(launchFunction);
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].request["handle"].uint(), 2u);
    EXPECT_NO_THROW(runtime->getChannels());
}

TEST_F(AReconnectingRuntime, WorksAfterADisconnectBeforeTheFirstConnect)
{
    runtime->disconnectAsync().get();
    connect();
    native().script(launchFunction, Result::text("ok"));
    EXPECT_EQ(*runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr).get(), "ok");
}

TEST_F(AReconnectingRuntime, SurvivesOverlappingConnectsAndDisconnectsFromManyThreads)
{
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 20; ++round) {
                try {
                    if ((round + thread) % 2 == 0) {
                        runtime->connectAsync().get();
                    } else {
                        runtime->disconnectAsync().get();
                    }
                    if (runtime->isConnected()) {
                        runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr).wait();
                    }
                } catch (const HalvoraApiException&) {
                    // A launch may meet a disconnection half-way; it must still finish.
                } catch (...) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    connect();
    native().script(launchFunction, Result::text("ok"));
    EXPECT_EQ(*runtime->getDesktopSystem()->launchManifest("https://example.test/app.json", nullptr).get(), "ok");
}

} // namespace
