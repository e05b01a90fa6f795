// Runtimes, channels and dispatches through the exported C functions, as
// fake runtimes see them: results, the events that reach each runtime, and
// that no call is left waiting.
#include "FakeRuntime.h"
#include "embedded/EmbeddedAdapter.h"

#include <atomic>
#include <future>
#include <set>

using namespace halvora::adapter::testing;
using ::testing::HasSubstr;

namespace {

class AnEmbeddedRuntime : public AdapterTest {
protected:
    void SetUp() override
    {
        provider.connect();
        client.connect();
    }
    // Opens this test's channel and connects the client to it.
    void open()
    {
        providerId = textOf(provider.createProvider(channel()));
        clientId = textOf(client.connectTo(channel()));
        ASSERT_TRUE(provider.waitFor("ProviderClientConnected"));
    }
    static bool waitingInCore(std::size_t count)
    {
        auto& core = halvora::adapter::embedded::EmbeddedAdapter::instance().core();
        return eventually([&] { return core.pendingCount() == count; });
    }

    FakeRuntime provider{"provider-uuid"}, client{"client-uuid"};
    std::string providerId, clientId;
};

TEST_F(AnEmbeddedRuntime, GetsAFreshHandlePerConnectionAndNothingOnceDisconnected)
{
    const auto handle = client.handle;
    EXPECT_NE(handle, 0u);
    EXPECT_NE(provider.handle, handle);
    EXPECT_EQ(client.disconnect(), "null");
    FakeRuntime later;
    EXPECT_NE(later.connect(), handle) << "a handle is never handed out twice";
    client.handle = handle;
    EXPECT_EQ(client.createProvider("x"), "error:the runtime handle " + std::to_string(handle) + " is not connected");
    EXPECT_THAT(client.disconnect(), HasSubstr("is not connected"));

    const NativeResult result = d_halvora_disconnect(nullptr, 0);
    deallocate_rust_buffer(result.data, result.length);
    deallocate_rust_buffer(result.data, result.length); // twice: ignored
    std::uint8_t foreign[4] = {};
    deallocate_rust_buffer(foreign, sizeof foreign); // never handed out: ignored
}

TEST_F(AnEmbeddedRuntime, EndsAWaitingConnectWhenItsRuntimeLeavesOrTheAdapterShutsDown)
{
    auto leaving = std::async(std::launch::async, [&] { return client.connectTo("early", true); });
    ASSERT_TRUE(waitingInCore(1));
    client.disconnect();
    EXPECT_EQ(leaving.get(), "error:the runtime disconnected while waiting for a provider of the channel 'early'");

    client.connect();
    open();
    auto waiting = std::async(std::launch::async, [&] { return client.connectTo("late", true); });
    ASSERT_TRUE(waitingInCore(1));
    halvora_embedded_shutdown();
    EXPECT_EQ(waiting.get(), "error:the adapter shut down while waiting for a provider of the channel 'late'");
    const json last = json::array({"AdapterDisconnected", {"", "", "", "", ""}, "", "", "", "", true});
    EXPECT_EQ(provider.events().back().fields, last);
    EXPECT_EQ(client.events().back().fields, last);
    EXPECT_THAT(provider.createProvider(channel()), HasSubstr("is not connected")) << "handles die with the shutdown";
    FakeRuntime later;
    EXPECT_NE(later.connect(), 0u) << "the adapter accepts connections after a shutdown";
}

TEST_F(AnEmbeddedRuntime, LetsTheProcessExitPromptlyWithLiveConnectionsAndCallsInFlight)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            open();
            std::thread([this] {
                for (;;)
                    client.dispatch(clientId, "busy");
            }).detach();
            eventually([&] { return !provider.events("ChannelProviderMessage").empty(); });
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(AnEmbeddedRuntime, HasOneLiveProviderPerChannelAndRefusesOrHoldsClientsUntilItOpens)
{
    EXPECT_EQ(client.connectTo(channel()), "error:no provider is open for the channel '" + channel() + "'");
    auto waiting = std::async(std::launch::async, [&] { return client.connectTo(channel(), true); });
    ASSERT_TRUE(waitingInCore(1));
    const std::string ownerId = textOf(provider.createProvider(channel()));
    const std::string waitedId = textOf(waiting.get());
    EXPECT_EQ(client.createProvider(channel()), "error:the channel '" + channel() + "' already has a provider");
    const std::string otherId = textOf(client.createProvider("other"));
    provider.disconnect();
    const std::string takenOver = textOf(client.createProvider(channel())); // the name is free once its runtime left
    const std::set<std::string> ids{ownerId, waitedId, otherId, takenOver, textOf(client.connectTo(channel()))};
    EXPECT_EQ(ids.size(), 5u) << "every endpoint has an identity of its own";
}

TEST_F(AnEmbeddedRuntime, TellsTheProviderOfClientsThatComeAndGoAndClientsOfAProviderThatGoes)
{
    open();
    const Event connected = provider.events()[0];
    EXPECT_EQ(connected.fields[1][0], "client-uuid") << "the endpoint carries the client runtime's uuid";
    EXPECT_EQ(connected.fields[1][2], channel());
    EXPECT_EQ(connected.endpointId(), clientId);
    EXPECT_EQ(connected.at(2), channel());

    EXPECT_EQ(client.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}), "null");
    ASSERT_TRUE(provider.waitFor("ProviderClientDisconnected"));
    EXPECT_EQ(provider.events()[1].fields,
              json::array({"ProviderClientDisconnected", connected.fields[1], channel(), "", "", "", true}));
    EXPECT_THAT(client.dispatch(clientId, "t"), HasSubstr("is not connected to a channel of this runtime"));
    EXPECT_THAT(client.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}),
                HasSubstr("is not connected to a channel"));

    FakeRuntime second("second");
    second.connect();
    const std::string secondId = textOf(second.connectTo(channel()));
    const std::string again = textOf(client.connectTo(channel()));
    client.disconnect(); // a client's runtime goes away
    ASSERT_TRUE(provider.waitFor("ProviderClientDisconnected", 2));
    EXPECT_EQ(provider.events("ProviderClientDisconnected")[1].endpointId(), again);
    provider.disconnect(); // the provider's runtime goes away
    ASSERT_TRUE(second.waitFor("ChannelDisconnected"));
    const Event gone = second.events("ChannelDisconnected")[0];
    EXPECT_EQ(gone.at(2), channel());
    EXPECT_EQ(gone.endpointId(), providerId) << "the event names the provider that went";
    EXPECT_EQ(gone.fields[1][3], connected.fields[1][3]) << "one channel id for both ends";
    EXPECT_THAT(second.dispatch(secondId, "t"), HasSubstr("is not connected to a channel"));
}

TEST_F(AnEmbeddedRuntime, CarriesADispatchsTopicPayloadAndSenderInOrderOnOneThreadPerRuntime)
{
    open();
    provider.answer([](const Event& event) { return text("{\"echo\":" + event.at(4) + "}"); });
    EXPECT_EQ(client.dispatch(clientId, "greet", "{\"n\":1}"), "text:{\"echo\":{\"n\":1}}");
    client.dispatch(clientId, "empty", "");
    client.dispatch(clientId, "none");
    const auto events = provider.events();
    ASSERT_EQ(events.size(), 4u);
    const json& from = events[0].fields[1];
    EXPECT_EQ(events[1].fields,
              json::array({"ChannelProviderMessage", from, channel(), "greet", "{\"n\":1}", "", false}));
    EXPECT_EQ(events[2].fields, json::array({"ChannelProviderMessage", from, channel(), "empty", "", "", false}));
    EXPECT_EQ(events[3].fields, json::array({"ChannelProviderMessage", from, channel(), "none", "", "", true}));
    for (const auto& event : events)
        EXPECT_EQ(event.thread, events[0].thread);
}

TEST_F(AnEmbeddedRuntime, ReturnsWhatTheHandlerAnswered)
{
    open();
    const Bytes map = json::to_msgpack(json{{"payload_json", "p"}});
    const std::string unreadable = "error:the runtime's reply to the event could not be read";
    const std::pair<Bytes, std::string> answers[] = {
        {noValue(), "null"},
        {reply({{"is_null", true}, {"payload_json", "ignored"}}), "null"},
        {text(""), "text:"},
        {reply(json::object()), "text:"},
        {reply({{"is_error", true}, {"payload_json", "no such topic"}}), "error:no such topic"},
        {reply({{"is_error", true}, {"is_null", true}, {"payload_json", "error wins"}}), "error:error wins"},
        {{}, "error:The application did not answer"},
        {framed({0xc1}), unreadable},
        {reply(json::array({1, 2})), unreadable},
        {reply({{"is_error", 1}}), unreadable},
        {reply({{"is_null", "yes"}}), unreadable},
        {reply({{"payload_json", 1}}), unreadable},
        {reply({{"payload_json_", 1}, {"is_null_", 1}, {"is_error_", 1}, {"payload_json", "p"}}), "text:p"},
        {framed(map, std::uint64_t{1} << 30), "text:p"}, // a length at the bound is read
        {framed(map, (std::uint64_t{1} << 30) + 1), "error:the runtime's reply to the event is too large"}};
    for (const auto& [answer, outcome] : answers) {
        provider.answer([answer = answer](const Event&) { return answer; });
        EXPECT_EQ(client.dispatch(clientId, "t", "{}"), outcome);
    }
}

TEST_F(AnEmbeddedRuntime, DispatchesToAnEndpointOnlyToAClientOfThatProviderAndOnlyFromItsRuntime)
{
    open();
    FakeRuntime other("other");
    other.connect();
    other.connectTo(channel());
    client.answer([](const Event& event) { return text(event.at(3) + " " + event.at(4)); });
    EXPECT_EQ(provider.dispatchTo(providerId, clientId, "ping", "1"), "text:ping 1");
    EXPECT_EQ(client.events()[0].endpointId(), providerId) << "the client learns who sent it";
    EXPECT_TRUE(other.events().empty());

    const std::string otherProvider = textOf(provider.createProvider(channel("-other")));
    EXPECT_THAT(provider.dispatchTo(providerId, "client:nobody:1", "t"), HasSubstr("is not a connected client"));
    EXPECT_THAT(provider.dispatchTo(otherProvider, clientId, "t"), HasSubstr("is not a connected client"));
    EXPECT_THAT(client.dispatchTo(providerId, clientId, "t"), HasSubstr("is not open in this runtime"));
    EXPECT_THAT(other.dispatch(clientId, "t"), HasSubstr("'" + clientId + "' is not connected"));
    EXPECT_THAT(other.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}),
                HasSubstr("is not connected"));
    EXPECT_TRUE(provider.events("ProviderClientDisconnected").empty());
}

TEST_F(AnEmbeddedRuntime, EndsADispatchWhoseProviderLeavesMidCallOnceItsHandlerReturns)
{
    open();
    std::promise<void> entered, release;
    provider.answer([&, released = release.get_future().share()](const Event&) {
        entered.set_value();
        released.wait();
        return text("late");
    });
    auto reply = std::async(std::launch::async, [&] { return client.dispatch(clientId, "slow"); });
    entered.get_future().wait();
    auto disconnecting = std::async(std::launch::async, [&] { return provider.disconnect(); });
    EXPECT_EQ(reply.get(), "error:the runtime that was to answer the call disconnected");
    EXPECT_EQ(disconnecting.wait_for(50ms), std::future_status::timeout) << "it waits for its handler to return";
    release.set_value();
    EXPECT_EQ(disconnecting.get(), "null");

    ASSERT_TRUE(client.waitFor("ChannelDisconnected"));
    std::promise<std::string> inside; // a runtime may disconnect from inside its own handler
    client.answer([&](const Event&) {
        inside.set_value(callAdapter(d_halvora_disconnect, json::to_msgpack(json{{"handle", client.handle}})));
        return noValue();
    });
    client.createProvider("own");
    client.connectTo("own");
    EXPECT_EQ(inside.get_future().get(), "null");
}

TEST_F(AnEmbeddedRuntime, DispatchesFromAHandlerToOtherRuntimesButNotToItsOwnOrAroundACycle)
{
    open();
    FakeRuntime third("third");
    third.connect();
    third.createProvider("third");
    third.answer([](const Event&) { return text("third"); });
    const std::string thirdClient = textOf(provider.connectTo("third")),
                      ownClient = textOf(provider.connectTo(channel()));
    std::string own, back;
    provider.answer([&](const Event& event) {
        if (event.at(3) != "outer")
            return event.at(3) == "start" ? text(provider.dispatchTo(providerId, clientId, "call")) : noValue();
        own = provider.dispatch(ownClient, "inner");
        return text(textOf(provider.dispatch(thirdClient, "forward")));
    });
    EXPECT_EQ(client.dispatch(clientId, "outer"), "text:third");
    EXPECT_THAT(own, HasSubstr("the call would wait for the event thread it was made from"));

    // The client's handler calls back into the provider, whose event thread waits for the client.
    client.answer([&](const Event&) {
        back = client.dispatch(clientId, "back");
        return noValue();
    });
    EXPECT_EQ(client.dispatch(clientId, "start"), "text:null") << "the outer call still completes";
    EXPECT_THAT(back, HasSubstr("the call would wait for the event thread"));
}

} // namespace
