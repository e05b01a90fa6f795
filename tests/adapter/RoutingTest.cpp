// What the library never sends the adapter and so its end-to-end tests
// cannot show: replies of any shape, ends of other runtimes named in
// requests, calls from inside handlers, a runtime that leaves inside its own
// handler, and a shutdown while a connect waits.
#include "FakeRuntime.h"
#include "embedded/EmbeddedAdapter.h"

#include <future>

using namespace halvora::adapter::testing;
using ::testing::HasSubstr;

namespace {

// The provider of the channel "news" and a client of it, in runtimes of their own.
class AnEmbeddedRuntime : public AdapterTest {
protected:
    FakeRuntime provider{"provider-uuid"}, client{"client-uuid"};
    const std::string providerId = textOf(provider.createProvider("news")), clientId = textOf(client.connectTo("news"));
};

TEST_F(AnEmbeddedRuntime,
       ReturnsWhatTheHandlerAnsweredAndRefusesEndsOfOtherRuntimesAndCallsBackIntoItsOwnOrAroundACycle)
{
    EXPECT_THAT(clientId, ::testing::MatchesRegex("client:[0-9a-f]{8}:[0-9]+")) << "tagged with its adapter";
    FakeRuntime other("other");
    EXPECT_THAT(other.dispatch(clientId, "t"), HasSubstr("'" + clientId + "' is not connected"));
    EXPECT_THAT(other.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}),
                HasSubstr("is not connected"));
    EXPECT_THAT(client.dispatch(providerId, "t", clientId), HasSubstr("is not open in this runtime"));
    EXPECT_EQ(client.dispatch(clientId, "t"), "null") << "the client is still connected";

    FakeRuntime third("third");
    third.createProvider("third");
    const std::string thirdToNews = textOf(third.connectTo("news"));
    third.answer([&](const json& event) {
        return text(event.at(3) == "relay" ? third.dispatch(thirdToNews, "ping") : "third");
    });
    const std::string thirdClient = textOf(provider.connectTo("third")), ownClient = textOf(provider.connectTo("news"));
    std::string own, back;
    provider.answer([&](const json& event) {
        if (event.at(3) != "outer")
            return event.at(3) == "start" ? text(provider.dispatch(providerId, "call", clientId)) : noValue();
        own = provider.dispatch(ownClient, "inner");
        return text(textOf(provider.dispatch(thirdClient, "forward")));
    });
    EXPECT_EQ(client.dispatch(clientId, "outer"), "text:third");
    EXPECT_THAT(own, HasSubstr("the call would wait for the event thread it was made from"));
    EXPECT_EQ(provider.dispatch(thirdClient, "relay"), "text:null") << "the waits of answered calls are gone";

    // The client's handler calls back into the provider, whose event thread waits for the client.
    client.answer([&](const json&) {
        back = client.dispatch(clientId, "back");
        return noValue();
    });
    EXPECT_EQ(client.dispatch(clientId, "start"), "text:null") << "the outer call still completes";
    EXPECT_THAT(back, HasSubstr("the call would wait for the event thread"));

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
        provider.answer([answer = answer](const json&) { return answer; });
        EXPECT_EQ(client.dispatch(clientId, "t"), outcome);
    }
}

// A shutdown waits, within its bound, for the handler in which its runtime left, and ends every
// handle and a connect that waits for a provider.
TEST_F(AnEmbeddedRuntime, LeavesInsideItsOwnHandlerAndAShutdownWaitsForThatHandlerAndEndsEveryHandleAndWaitingConnect)
{
    std::promise<std::string> inside;
    std::promise<void> leave;
    provider.answer([&, left = leave.get_future().share()](const json&) {
        inside.set_value(provider.disconnect());
        left.wait();
        return noValue();
    });
    client.connectTo("news"); // an event for the provider
    EXPECT_EQ(inside.get_future().get(), "null");
    auto waiting = std::async(std::launch::async, [&] { return client.connectTo("late", true); });
    auto& core = halvora::adapter::embedded::EmbeddedAdapter::instance().core();
    EXPECT_TRUE(eventually([&] { return core.pendingCount() == 1; })) << "the connect waits in the routing core";
    auto shutdown = std::async(std::launch::async, halvora_embedded_shutdown);
    EXPECT_EQ(shutdown.wait_for(50ms), std::future_status::timeout);
    // ...but no longer than its bound (2 s) for a handler that does not return.
    EXPECT_EQ(shutdown.wait_for(5s), std::future_status::ready);
    leave.set_value();
    EXPECT_EQ(waiting.get(), "error:the adapter shut down while waiting for a provider of the channel 'late'");
    EXPECT_EQ(client.events().back(), json::array({"AdapterDisconnected", {"", "", "", "", ""}, "", "", "", "", true}));
    const std::string gone = "error:the runtime handle " + std::to_string(client.handle) + " is not connected";
    EXPECT_EQ(client.createProvider("news"), gone);
    EXPECT_EQ(client.call(d_halvora_channels_disconnect_from_provider, {{"client_id", clientId}}), gone);
}

} // namespace
