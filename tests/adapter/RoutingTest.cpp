// Runtimes, channels and dispatches through the exported C functions, as
// fake runtimes see them: results, the events that reach each runtime, and
// that no call is left waiting.
#include "FakeRuntime.h"
#include "embedded/EmbeddedAdapter.h"

#include <future>
#include <set>

using namespace halvora::adapter::testing;
using ::testing::HasSubstr;

namespace {

class AnEmbeddedRuntime : public AdapterTest {
protected:
    // Opens the channel "news" and connects the client to it.
    void open()
    {
        providerId = textOf(provider.createProvider("news"));
        clientId = textOf(client.connectTo("news"));
        ASSERT_TRUE(provider.waitFor("ProviderClientConnected"));
    }

    FakeRuntime provider{"provider-uuid"}, client{"client-uuid"};
    std::string providerId, clientId;
};

TEST_F(AnEmbeddedRuntime, GetsAFreshHandleThatEndsWithItsDisconnectOrTheShutdownWhichEndsEveryWaitingConnect)
{
    const auto handle = client.handle;
    EXPECT_NE(handle, 0u);
    EXPECT_NE(provider.handle, handle);
    EXPECT_EQ(client.disconnect(), "null");
    FakeRuntime later;
    EXPECT_NE(later.handle, handle) << "a handle is never handed out twice";
    client.handle = handle;
    EXPECT_EQ(client.createProvider("x"), "error:the runtime handle " + std::to_string(handle) + " is not connected");
    EXPECT_THAT(client.disconnect(), HasSubstr("is not connected"));

    auto waiting = std::async(std::launch::async, [&] { return later.connectTo("late", true); });
    auto& core = halvora::adapter::embedded::EmbeddedAdapter::instance().core();
    ASSERT_TRUE(eventually([&] { return core.pendingCount() == 1; })) << "the connect waits in the routing core";
    halvora_embedded_shutdown();
    EXPECT_EQ(waiting.get(), "error:the adapter shut down while waiting for a provider of the channel 'late'");
    EXPECT_EQ(later.events().back().fields,
              json::array({"AdapterDisconnected", {"", "", "", "", ""}, "", "", "", "", true}));
    EXPECT_THAT(provider.createProvider("news"), HasSubstr("is not connected")) << "handles die with the shutdown";
    EXPECT_NE(FakeRuntime().handle, 0u) << "the adapter accepts connections after a shutdown";

    const NativeResult result = d_halvora_disconnect(nullptr, 0);
    deallocate_rust_buffer(result.data, result.length);
    deallocate_rust_buffer(result.data, result.length); // twice: ignored
    std::uint8_t foreign[4] = {};
    deallocate_rust_buffer(foreign, sizeof foreign); // never handed out: ignored
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

TEST_F(AnEmbeddedRuntime, HasOneLiveProviderPerChannelAndTellsItOfClientsAndItsClientsThatItWent)
{
    EXPECT_EQ(client.connectTo("news"), "error:no provider is open for the channel 'news'");
    open();
    EXPECT_EQ(client.createProvider("news"), "error:the channel 'news' already has a provider");
    const Event connected = provider.events()[0];
    const json& from = connected.fields[1]; // the client runtime's uuid, the channel's name and id, the client's id
    EXPECT_EQ(from, json::array({"client-uuid", from[1], "news", from[3], clientId}));
    EXPECT_EQ(connected.fields, json::array({"ProviderClientConnected", from, "news", "", "", "", true}));

    EXPECT_EQ(client.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}), "null");
    ASSERT_TRUE(provider.waitFor("ProviderClientDisconnected"));
    EXPECT_EQ(provider.events()[1].fields, json::array({"ProviderClientDisconnected", from, "news", "", "", "", true}));
    EXPECT_THAT(client.dispatch(clientId, "t"), HasSubstr("is not connected to a channel of this runtime"));
    EXPECT_THAT(client.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}),
                HasSubstr("is not connected to a channel"));

    const std::string again = textOf(client.connectTo("news"));
    provider.disconnect(); // the provider's runtime goes away
    ASSERT_TRUE(client.waitFor("ChannelDisconnected"));
    const json gone = client.events("ChannelDisconnected")[0].fields;
    EXPECT_EQ(gone, json::array({"ChannelDisconnected",
                                 {"provider-uuid", gone[1][1], "news", from[3], providerId},
                                 "news",
                                 "",
                                 "",
                                 "",
                                 true}))
        << "the event names the provider that went, with the channel id both ends share";
    EXPECT_THAT(client.dispatch(again, "t"), HasSubstr("is not connected to a channel"));
    const std::string takenOver = textOf(client.createProvider("news")); // the name is free once its runtime left
    const std::set<std::string> ids{providerId, clientId, again, takenOver, textOf(client.createProvider("other"))};
    EXPECT_EQ(ids.size(), 5u) << "every endpoint has an identity of its own";
}

TEST_F(AnEmbeddedRuntime, CarriesEachPayloadIntactWhateverTheSizeOfTheOneBefore)
{
    // Payload memory is mapped or taken from the allocator by size; a message
    // must never see its predecessor's bytes or run past its block.
    open();
    provider.answer([](const Event& event) { return text(event.at(4)); });
    const std::size_t mebibyte = std::size_t{1} << 20;
    char fill = 'a';
    for (const std::size_t size : {std::size_t{5000}, mebibyte, 3 * mebibyte, std::size_t{16}, mebibyte + 100,
                                   std::size_t{5000}, 3 * mebibyte, mebibyte}) {
        const std::string payload(size, fill++);
        EXPECT_EQ(client.dispatch(clientId, "echo", payload), "text:" + payload) << size;
    }
}

TEST_F(AnEmbeddedRuntime, ReturnsWhatTheHandlerAnswered)
{
    open();
    const Bytes map = json::to_msgpack(json{{"payload_json", "p"}});
    const std::string unreadable = "error:the runtime's reply to the event could not be read";
    const std::pair<Bytes, std::string> answers[] = {
        {reply({{"is_null", true}, {"payload_json", "ignored"}}), "null"},
        {text(""), "text:"},
        {reply(json::object()), "text:"},
        {reply({{"is_error", true}, {"is_null", true}, {"payload_json", "error wins"}}), "error:error wins"},
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

// A dispatch's topic, payload and sender, and what a handler answers, are
// also seen by the end-to-end tests; here, what they cannot tell apart.
TEST_F(AnEmbeddedRuntime, CarriesEachDispatchOnlyToWhereItMayGoOnOneThreadPerRuntime)
{
    open();
    client.dispatch(clientId, "empty", "");
    client.dispatch(clientId, "none");
    const auto events = provider.events();
    ASSERT_EQ(events.size(), 3u);
    const json& from = events[0].fields[1];
    EXPECT_EQ(events[1].fields, json::array({"ChannelProviderMessage", from, "news", "empty", "", "", false}));
    EXPECT_EQ(events[2].fields, json::array({"ChannelProviderMessage", from, "news", "none", "", "", true}));
    for (const auto& event : events)
        EXPECT_EQ(event.thread, events[0].thread);

    FakeRuntime other("other");
    other.connectTo("news");
    client.answer([](const Event& event) { return text(event.at(3) + " " + event.at(4) + " " + event.endpointId()); });
    EXPECT_EQ(provider.dispatch(providerId, "ping", "1", clientId), "text:ping 1 " + providerId) << "with its sender";
    const std::string otherProvider = textOf(provider.createProvider("other"));
    EXPECT_THAT(provider.dispatch(providerId, "t", {}, "client:nobody:1"), HasSubstr("is not a connected client"));
    EXPECT_THAT(provider.dispatch(otherProvider, "t", {}, clientId), HasSubstr("is not a connected client"));
    EXPECT_THAT(client.dispatch(providerId, "t", {}, clientId), HasSubstr("is not open in this runtime"));
    EXPECT_THAT(other.dispatch(clientId, "t"), HasSubstr("'" + clientId + "' is not connected"));
    EXPECT_THAT(other.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}),
                HasSubstr("is not connected"));
    EXPECT_TRUE(provider.events("ProviderClientDisconnected").empty());
}

TEST_F(AnEmbeddedRuntime, EndsADispatchWhoseProviderLeavesMidCallAndWaitsForTheHandlersOfRuntimesThatLeave)
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
    std::promise<void> leave;
    client.answer([&, left = leave.get_future().share()](const Event&) {
        inside.set_value(callAdapter(d_halvora_disconnect, json::to_msgpack(json{{"handle", client.handle}})));
        left.wait();
        return noValue();
    });
    client.createProvider("own");
    client.connectTo("own");
    EXPECT_EQ(inside.get_future().get(), "null");
    auto shutdown = std::async(std::launch::async, halvora_embedded_shutdown);
    EXPECT_EQ(shutdown.wait_for(50ms), std::future_status::timeout) << "a shutdown waits for that handler to return";
    leave.set_value();
    shutdown.get();
}

TEST_F(AnEmbeddedRuntime, DispatchesFromAHandlerToOtherRuntimesButNotToItsOwnOrAroundACycle)
{
    open();
    FakeRuntime third("third");
    third.createProvider("third");
    third.answer([](const Event&) { return text("third"); });
    const std::string thirdClient = textOf(provider.connectTo("third")), ownClient = textOf(provider.connectTo("news"));
    std::string own, back;
    provider.answer([&](const Event& event) {
        if (event.at(3) != "outer")
            return event.at(3) == "start" ? text(provider.dispatch(providerId, "call", {}, clientId)) : noValue();
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
