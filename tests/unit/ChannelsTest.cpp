// Channels through a connected runtime on the native double: the requests
// each end sends, how events reach the ends of their channel (or are dropped),
// and what a disconnect leaves behind.
#include <HalvoraAdapterApi/HalvoraApiException.h>
#include <HalvoraAdapterApi/Runtime.h>

#include "Outcome.h"
#include "RuntimeFixture.h"
#include "channels/ChannelMessage.h"

#include <gmock/gmock.h>

#include <functional>
#include <set>
#include <stdexcept>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using ::testing::ElementsAre;

namespace {

const char* const kConnect = "d_halvora_channels_connect_to_provider";
const char* const kDisconnect = "d_halvora_channels_disconnect_from_provider";
const char* const kDispatch = "d_halvora_channels_client_dispatch";
const char* const kToEndpoint = "d_halvora_channels_client_dispatch_to_endpoint";

EndpointId endpoint(const std::string& id)
{
    return EndpointId{"uuid-" + id, "app-" + id, "news", "chan-" + id, id};
}

// A handler that logs name:payload@sender and answers `reply`.
MessageChannelClient::TopicHandler logging(std::vector<std::string>& log, const std::string& name,
                                           const char* reply = nullptr)
{
    return [&log, name, reply](std::shared_ptr<std::string> payload, EndpointId from) {
        log.push_back(name + ":" + (payload ? *payload : "<null>") + "@" + from.endpointId);
        return reply ? std::make_shared<std::string>(reply) : nullptr;
    };
}

class TheChannels : public RuntimeFixture {
protected:
    void SetUp() override
    {
        RuntimeFixture::SetUp();
        connect();
        channels = runtime->getChannels();
    }

    Reply fire(const std::string& type, const std::string& from, const std::string& channel = "news",
               const std::string& topic = "", const std::string& payload = "", bool isNull = false)
    {
        const EndpointFields sender{"uuid-" + from, "app-" + from, "news", "chan-" + from, from};
        return native().fireEvent(channelEvent(type, sender, channel, topic, payload, isNull));
    }

    Reply fireLogged(const std::vector<std::uint8_t>& event, std::string& log)
    {
        ::testing::internal::CaptureStderr();
        Reply reply = native().fireEvent(event);
        log = ::testing::internal::GetCapturedStderr();
        return reply;
    }

    std::shared_ptr<Channels> channels;
};

TEST_F(TheChannels, SendEachRequestWithItsKeysInByteOrderAndYieldTheReplies)
{
    const std::string longId(100, 'c'); // longer than the room kept in front of a payload
    auto client = connectedClient(longId);
    for (const Result& result : {Result::text("pong"), Result::null(), Result::error("no provider")})
        native().script(kDispatch, result);
    EXPECT_EQ(outcome(client->dispatchAsync("ping", "{}")), "value:pong");
    EXPECT_EQ(outcome(client->dispatchAsync("ping")), "null");
    EXPECT_EQ(outcome(client->dispatchAsync("ping", "")), "error:no provider");
    native().script(kDisconnect, Result::error("unknown client"));
    EXPECT_EQ(outcome(client->disconnectAsync()), "error:unknown client");
    auto provider = openProvider();
    native().script(kToEndpoint, Result::text("ack"));
    EXPECT_EQ(outcome(provider->dispatchAsync(endpoint("a"), "update", "{}")), "value:ack");
    EXPECT_EQ(outcome(provider->dispatchAsync(endpoint("a"), "update")), "null");

    // clang-format off
    const Json destination = {{"channel_id", "chan-a"}, {"channel_name", "news"}, {"endpoint_id", "a"},
                              {"name", "app-a"}, {"uuid", "uuid-a"}};
    // clang-format on
    auto dispatch = [&](bool isNull, const std::string& payload) {
        return Json{
            {"client_id", longId}, {"handle", 1}, {"is_null", isNull}, {"payload_json", payload}, {"topic", "ping"}};
    };
    auto toEndpoint = [&](bool isNull, const std::string& payload) {
        return Json{{"destination", destination}, {"handle", 1},      {"is_null", isNull}, {"payload_json", payload},
                    {"source", "provider-1"},     {"topic", "update"}};
    };
    const std::vector<Json> expected = {
        {{"handle", 1}, {"provider_name", "news"}, {"wait", true}},
        dispatch(false, "{}"),
        dispatch(true, ""),
        dispatch(false, ""),
        {{"client_id", longId}, {"handle", 1}},
        {{"handle", 1}, {"provider_name", "news"}},
        toEndpoint(false, "{}"),
        toEndpoint(true, ""),
    };
    const std::vector<Call> calls = native().calls();
    ASSERT_EQ(calls.size(), expected.size() + 1); // after the runtime's connect
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(calls[i + 1].bytes, bytesOf(expected[i])) << calls[i + 1].function;
}

// Providers track their connected clients for broadcasts and tell subscribers every time.
TEST_F(TheChannels, RouteEventsToTheEndsOfTheirChannelOnlyAndTrackConnectedClientsForBroadcasts)
{
    std::vector<std::string> log;
    auto provider = openProvider();
    provider->registerTopic("ask", logging(log, "provider", "42"));
    auto first = connectedClient("client-1");
    auto second = connectedClient("client-2");
    auto elsewhere = connectedClient("client-3", "sport");
    first->registerTopic("update", logging(log, "first"));
    second->registerTopic("update", logging(log, "second", "seen"));
    elsewhere->registerTopic("update", logging(log, "elsewhere", "wrong"));
    first->subscribeDisconnected([&] { log.push_back("first gone"); });
    second->subscribeDisconnected([&] { log.push_back("second gone"); });
    elsewhere->subscribeDisconnected([&] { log.push_back("elsewhere gone"); });

    EXPECT_EQ(fire("ChannelProviderMessage", "c1", "news", "ask", "{}").payload(), "42");
    EXPECT_TRUE(fire("ChannelProviderMessage", "c1", "news", "unregistered").isNull());
    // Every client of the channel is served; the first that answers gives the reply.
    EXPECT_EQ(fire("ChannelMessage", "p", "news", "update", "", true).payload(), "seen");
    for (const Reply& ignored :
         {fire("ChannelMessage", "p", "News", "update"), fire("ChannelMessage", "p", "news", "Update"),
          fire("ChannelProviderMessage", "p", "sport", "ask"), fire("adapterdisconnected", "p"),
          native().fireEvent({0x90}), native().fireEvent({0xa3, 0x61, 0x62, 0x63})})
        EXPECT_TRUE(ignored.returned && ignored.isNull() && !ignored.isError());
    EXPECT_TRUE(runtime->isConnected()); // "adapterdisconnected" is not the adapter's disconnection
    EXPECT_TRUE(fire("ChannelDisconnected", "p").isNull());
    second->unsubscribeDisconnected([] {});
    fire("ChannelDisconnected", "p");
    EXPECT_THAT(log, ElementsAre("provider:{}@c1", "first:<null>@p", "second:<null>@p", "first gone", "second gone",
                                 "first gone"));

    std::vector<std::string> told;
    provider->subscribeClientConnected([&](const EndpointId& e) { told.push_back("+" + e.endpointId); });
    provider->subscribeClientDisconnected([&](const EndpointId& e) { told.push_back("-" + e.endpointId); });
    for (const char* event : {"+a", "+a", "+b", "+c", "-b", "-never"})
        fire(event[0] == '+' ? "ProviderClientConnected" : "ProviderClientDisconnected", event + 1);
    EXPECT_THAT(told, ElementsAre("+a", "+a", "+b", "+c", "-b", "-never"));
    EXPECT_EQ(outcome(provider->broadcastAsync("update", "{\"v\":2}")), "value:");
    EXPECT_EQ(outcome(provider->broadcastAsync("ping")), "value:");
    outcome(provider->dispatchAsync(endpoint("fence"), "fence")); // queued behind the broadcasts' dispatches
    std::multiset<std::string> sent;
    for (Call& call : native().calls(kToEndpoint)) {
        Json& r = call.request;
        sent.insert(r["destination"]["endpoint_id"].get<std::string>() + ":" + r["topic"].get<std::string>() + ":" +
                    r["payload_json"].get<std::string>() + (r["is_null"] == true ? "null" : ""));
    }
    EXPECT_EQ(sent, (std::multiset<std::string>{"a:update:{\"v\":2}", "c:update:{\"v\":2}", "a:ping:null",
                                                "c:ping:null", "fence:fence:null"}));
    provider->unsubscribeClientConnected(nullptr);
    provider->unsubscribeClientDisconnected(nullptr);
    fire("ProviderClientConnected", "d");
    fire("ProviderClientDisconnected", "d");
    EXPECT_EQ(told.size(), 6u);
}

// Events that do not decode are logged and dropped, and end nothing.
TEST_F(TheChannels, EndWithTheAdaptersDisconnectionWhichGetsTheExactEmptyReplyUnlessASubscriberThrows)
{
    std::vector<std::uint8_t> deep(65, 0x91); // one level deeper than the decoder takes
    deep.push_back(0xc0);
    std::string log;
    // Nothing, a map header that announces more than follows, and nesting past the bound.
    for (const auto& [event, expected] : std::vector<std::pair<std::vector<std::uint8_t>, std::string>>{
             {{}, "null input"}, {{0xde, 0x00, 0x10}, "end of buffer."}, {deep, "format error."}}) {
        EXPECT_FALSE(fireLogged(event, log).returned);
        EXPECT_EQ(log, "C++ ADAPTER:   Error parsing response: " + expected + "\n");
    }
    EXPECT_TRUE(runtime->isConnected());
    std::vector<int> seen;
    runtime->subscribeDisconnected([&] { seen.push_back(1); });
    runtime->subscribeDisconnected([&] { seen.push_back(2); });
    // A disconnected runtime lets go of its ends' topic handlers, and of what they hold.
    auto held = std::make_shared<int>(0);
    const std::weak_ptr<int> watched = held;
    const auto client = connectedClient("client-1");
    client->registerTopic("t", [held](auto, auto) -> std::shared_ptr<std::string> { return nullptr; });
    held.reset();
    const Reply reply = native().fireEvent(adapterDisconnectedEvent());
    EXPECT_TRUE(watched.expired());
    EXPECT_EQ(reply.bytes, bytesOf(Json{{"is_error", false}, {"is_null", true}, {"payload_json", ""}}));
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_FALSE(fireLogged(adapterDisconnectedEvent(), log).returned);
    EXPECT_FALSE(fireLogged(channelEvent("ChannelMessage", {}, "news", "quote"), log).returned);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(log, "");
    for (const std::function<void()>& failing :
         std::vector<std::function<void()>>{[] { throw std::runtime_error("subscriber failed"); }, [] { throw 42; }}) {
        connect();
        runtime->unsubscribeDisconnected(nullptr);
        runtime->subscribeDisconnected(failing);
        EXPECT_FALSE(fireLogged(adapterDisconnectedEvent(), log).returned);
        EXPECT_EQ(log, "An exception was thrown in C++ during the callback handler");
        EXPECT_FALSE(runtime->isConnected());
    }
}

// Work that needs an identity the end does not have fails and sends nothing.
TEST_F(TheChannels, FailWorkWithoutAnIdentityKeepOneProviderPerNameAndOneHandlerPerTopicAndAnswerAFailingHandler)
{
    auto provider = channels->createProvider("news");
    auto unconnected = channels->createClient("news");
    native().script(kConnect, Result::null());
    auto withoutValue = channels->createClient("news");
    outcome(withoutValue->connectAsync(false));
    fire("ProviderClientConnected", "a");
    const std::string noClient = "error:The channel is not connected",
                      notOpen = "error:The channel provider is not open";
    const std::vector<std::pair<std::shared_future<std::shared_ptr<std::string>>, std::string>> refused = {
        {unconnected->dispatchAsync("ping"), noClient},
        {withoutValue->dispatchAsync("ping", "{}"), noClient},
        {provider->dispatchAsync(endpoint("a"), "t", "{}"), notOpen},
        {provider->broadcastAsync("t"), notOpen},
        {provider->broadcastAsync("t", "{}"), notOpen}};
    for (const auto& [future, expected] : refused)
        EXPECT_EQ(outcome(future), expected);
    EXPECT_EQ(outcome(unconnected->disconnectAsync()), noClient);
    EXPECT_EQ(outcome(withoutValue->disconnectAsync()), noClient);
    EXPECT_EQ(native().calls().size(), 2u); // the runtime's connect and one channel connect
    EXPECT_EQ(apiError([&] { channels->createProvider("news"); }),
              "A provider has already been created with this channel name");
    provider->registerTopic("t", nullptr);
    EXPECT_EQ(apiError([&] { provider->registerTopic("t", nullptr); }),
              "Subscription already registered for topic: t. Unsubscribe before adding a new subscription");
    provider->unregisterTopic("t");
    provider->unregisterTopic("never registered");
    EXPECT_NO_THROW(provider->registerTopic("t", nullptr));
    Channels copy(*channels); // holds the same ends
    EXPECT_THROW(copy.createProvider("news"), HalvoraApiException);
    Channels moved(std::move(copy)); // takes them, leaving the source empty
    EXPECT_THROW(moved.createProvider("news"), HalvoraApiException);
    EXPECT_NO_THROW(copy.createProvider("news")); // NOLINT(bugprone-use-after-move)

    std::vector<std::string> log;
    auto first = channels->createClient("news");
    auto second = channels->createClient("news");
    first->registerTopic("t", [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> {
        throw std::runtime_error("handler failed");
    });
    second->registerTopic("t", logging(log, "second"));
    const Reply failed = fire("ChannelMessage", "p", "news", "t");
    EXPECT_TRUE(failed.isError());
    EXPECT_EQ(failed.payload(), "handler failed");
    EXPECT_TRUE(log.empty()); // the walk ends at the failure
    // Handlers may change the registry they are called from.
    std::shared_ptr<ChannelClient> created;
    first->registerTopic("again", [&](std::shared_ptr<std::string>, EndpointId) {
        created = channels->createClient("news");
        first->unregisterTopic("t");
        first->unregisterTopic("again");
        return std::make_shared<std::string>("done");
    });
    EXPECT_EQ(fire("ChannelMessage", "p", "news", "again").payload(), "done");
    EXPECT_NE(created, nullptr);
    EXPECT_TRUE(fire("ChannelMessage", "p", "news", "again").isNull());
    fire("ChannelMessage", "p", "news", "t");
    EXPECT_THAT(log, ElementsAre("second:@p"));
}

TEST_F(TheChannels, SettleWorkThatOutlivesADisconnectAndRefuseEverythingAfterIt)
{
    auto provider = openProvider();
    auto connected = connectedClient();
    auto told = std::make_shared<bool>(false);
    connected->subscribeDisconnected([told] { *told = true; });
    fire("ProviderClientConnected", "a");
    std::promise<void> release;
    auto stall = [released = release.get_future().share()](const Call&) {
        released.wait();
        return Result::text("late");
    };
    std::promise<void> entered;
    native().respond(kConnect, stall);
    native().respond(kToEndpoint, [&](const Call& call) {
        entered.set_value();
        return stall(call);
    });
    auto client = channels->createClient("news");
    std::weak_ptr<ChannelClient> watched = client;
    auto connecting = client->connectAsync(true);
    auto stalled = provider->dispatchAsync(endpoint("a"), "t");
    entered.get_future().wait();
    auto broadcast = provider->broadcastAsync("t"); // queued behind the stalled dispatch
    auto broadcastWithPayload = provider->broadcastAsync("t", "{}");
    auto dispatch = provider->dispatchAsync(endpoint("a"), "t", "{}");
    client.reset();
    std::promise<void> reset;
    runtime->subscribeDisconnected([&] { reset.set_value(); });
    auto disconnecting = runtime->disconnectAsync();
    reset.get_future().wait();
    EXPECT_FALSE(watched.expired()); // the pending connect holds its end
    release.set_value();
    EXPECT_EQ(outcome(disconnecting), "done");
    EXPECT_EQ(outcome(connecting), "error:The runtime is not connected");
    EXPECT_EQ(outcome(stalled), "value:late");
    for (const auto& refused : {broadcast, broadcastWithPayload, dispatch})
        EXPECT_EQ(outcome(refused), "error:The runtime is not connected");
    EXPECT_EQ(native().calls(kToEndpoint).size(), 1u);

    const std::size_t callsBefore = native().calls().size();
    EXPECT_EQ(apiError([&] { channels->createClient("news"); }), "The runtime has disconnected");
    EXPECT_EQ(apiError([&] { channels->createProvider("other"); }), "The runtime has disconnected");
    EXPECT_EQ(apiError([&] { channels->onRuntimeEvent(detail::ChannelMessage()); }), "The runtime has disconnected");
    for (const std::function<void()>& refused : std::vector<std::function<void()>>{
             [&] { connected->dispatchAsync("t"); }, [&] { connected->dispatchAsync("t", "{}"); },
             [&] { connected->registerTopic("t", nullptr); }, [&] { provider->openAsync(); },
             [&] { provider->dispatchAsync(endpoint("a"), "t", "{}"); }, [&] { provider->broadcastAsync("t"); },
             [&] { provider->broadcastAsync("t", "{}"); }, [&] { provider->registerTopic("t", nullptr); },
             [&] { provider->subscribeClientConnected(nullptr); },
             [&] { provider->subscribeClientDisconnected(nullptr); }})
        EXPECT_EQ(apiError(refused), "The runtime is not connected");
    EXPECT_EQ(outcome(connected->connectAsync(true)), "error:The runtime is not connected");
    EXPECT_EQ(outcome(connected->disconnectAsync()), "error:The channel is not connected");
    EXPECT_NO_THROW(provider->unsubscribeClientConnected(nullptr));
    EXPECT_FALSE(*told);            // a reset is not a disconnection of the channel,
    EXPECT_EQ(told.use_count(), 1); // but it lets go of the subscribers
    EXPECT_EQ(native().calls().size(), callsBefore);
}

} // namespace
