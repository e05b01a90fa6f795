#include "AdapterFixture.h"

#include <atomic>
#include <future>

using namespace halvora::adapter::testing;

namespace {

class ADispatch : public AdapterFixture {
protected:
    void SetUp() override
    {
        provider.connect();
        client.connect();
        providerId = provider.createProvider(channel()).text;
        clientId = client.connectToProvider(channel(), false).text;
    }

    FakeRuntime provider{"provider-uuid"};
    FakeRuntime client{"client-uuid"};
    std::string providerId;
    std::string clientId;
};

TEST_F(ADispatch, DeliversClientDispatchToTheProviderAndReturnsItsReply)
{
    provider.answer([](const ReceivedEvent& event) { return Reply::text("{\"echo\":" + event.payload + "}"); });
    const Outcome reply = client.dispatch(clientId, "greet", "{\"n\":1}");
    EXPECT_EQ(reply.kind, Outcome::Kind::Text);
    EXPECT_EQ(reply.text, "{\"echo\":{\"n\":1}}");

    const auto message = provider.waitForEvent("ChannelProviderMessage");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->topic, "greet");
    EXPECT_EQ(message->channelName, channel());
    EXPECT_EQ(message->endpointId(), clientId) << "the provider learns which client sent it";
    EXPECT_FALSE(message->payloadIsNull);
}

TEST_F(ADispatch, ReturnsWhatTheHandlerAnsweredAndAnErrorForNoAnswerOrOneThatCannotBeRead)
{
    const struct {
        Reply reply;
        Outcome::Kind kind;
        std::string text;
    } cases[] = {
        {Reply::null(), Outcome::Kind::Null, ""},
        {Reply::none(), Outcome::Kind::Error, "The application did not answer"},
        {Reply::error("no such topic"), Outcome::Kind::Error, "no such topic"},
        {Reply::garbage(), Outcome::Kind::Error, "the runtime's reply to the event could not be read"},
    };
    for (const auto& c : cases) {
        provider.answer([reply = c.reply](const ReceivedEvent&) { return reply; });
        const Outcome reply = client.dispatch(clientId, "t", "{}");
        EXPECT_EQ(reply.kind, c.kind) << c.text;
        EXPECT_EQ(reply.text, c.text);
    }
}

TEST_F(ADispatch, CarriesAMissingPayloadAsNullAndAnEmptyOneAsText)
{
    client.dispatch(clientId, "none");
    client.dispatch(clientId, "empty", "");
    const auto messages = provider.eventsOf("ChannelProviderMessage");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_TRUE(messages[0].payloadIsNull);
    EXPECT_FALSE(messages[1].payloadIsNull);
    EXPECT_EQ(messages[1].payload, "");
}

TEST_F(ADispatch, ToAnEndpointReachesThatClientOnlyAndReturnsItsReply)
{
    FakeRuntime other("other-client");
    other.connect();
    other.connectToProvider(channel(), false);
    client.answer([](const ReceivedEvent& event) { return Reply::text("\"got " + event.topic + "\""); });

    const Outcome reply = provider.dispatchToEndpoint(providerId, clientId, "ping", "1");
    EXPECT_EQ(reply.kind, Outcome::Kind::Text);
    EXPECT_EQ(reply.text, "\"got ping\"");

    const auto message = client.waitForEvent("ChannelMessage");
    ASSERT_TRUE(message);
    EXPECT_EQ(message->endpointId(), providerId) << "the client learns which provider sent it";
    EXPECT_EQ(message->payload, "1");
    EXPECT_TRUE(other.eventsOf("ChannelMessage").empty());
}

TEST_F(ADispatch, ToAnEndpointIsRefusedForAnEndpointThatIsNotThisProvidersClient)
{
    EXPECT_TRUE(provider.dispatchToEndpoint(providerId, "client:nobody:1", "t").isError());
    EXPECT_TRUE(client.dispatchToEndpoint(providerId, clientId, "t").isError()) << "only the provider's runtime may";

    const std::string otherProvider = provider.createProvider(channel("-other")).text;
    EXPECT_TRUE(provider.dispatchToEndpoint(otherProvider, clientId, "t").isError());
}

TEST_F(ADispatch, EndsWithAnErrorWhenTheProvidersRuntimeDisconnectsMidCall)
{
    std::promise<void> handlerEntered;
    std::promise<void> releaseHandler;
    auto release = releaseHandler.get_future().share();
    provider.answer([&](const ReceivedEvent& event) {
        if (event.type == "ChannelProviderMessage") {
            handlerEntered.set_value();
            release.wait();
        }
        return Reply::text("late");
    });
    auto reply = std::async(std::launch::async, [&] { return client.dispatch(clientId, "slow"); });
    handlerEntered.get_future().wait();
    auto disconnecting = std::async(std::launch::async, [&] { provider.disconnect(); });

    ASSERT_EQ(reply.wait_for(FakeRuntime::patience), std::future_status::ready);
    EXPECT_TRUE(reply.get().isError()) << "the caller does not wait for a handler whose runtime left";
    releaseHandler.set_value();
    disconnecting.get();
}

TEST_F(ADispatch, FromAHandlerToItsOwnRuntimeIsRefusedInsteadOfDeadlocking)
{
    // The provider's runtime is also a client of its own channel.
    const std::string selfClient = provider.connectToProvider(channel(), false).text;
    std::promise<Outcome> nested;
    provider.answer([&](const ReceivedEvent& event) {
        if (event.type == "ChannelProviderMessage" && event.topic == "outer")
            nested.set_value(provider.dispatch(selfClient, "inner"));
        return Reply::null();
    });
    client.dispatch(clientId, "outer");

    auto outcome = nested.get_future();
    ASSERT_EQ(outcome.wait_for(FakeRuntime::patience), std::future_status::ready);
    const Outcome inner = outcome.get();
    ASSERT_TRUE(inner.isError());
    EXPECT_NE(inner.text.find("event thread"), std::string::npos) << inner.text;
}

TEST_F(ADispatch, FromAHandlerIsRefusedWhenItWouldCloseACycleOfWaitingRuntimes)
{
    // The client's handler calls back into the provider, whose event thread waits for the client.
    std::promise<Outcome> nested;
    client.answer([&](const ReceivedEvent& event) {
        if (event.type == "ChannelMessage")
            nested.set_value(client.dispatch(clientId, "back"));
        return Reply::null();
    });
    std::promise<Outcome> middle;
    provider.answer([&](const ReceivedEvent& event) {
        if (event.type == "ChannelProviderMessage" && event.topic == "start")
            middle.set_value(provider.dispatchToEndpoint(providerId, clientId, "call"));
        return Reply::null();
    });
    client.dispatch(clientId, "start");

    auto inner = nested.get_future();
    ASSERT_EQ(inner.wait_for(FakeRuntime::patience), std::future_status::ready);
    EXPECT_TRUE(inner.get().isError());
    EXPECT_EQ(middle.get_future().get().kind, Outcome::Kind::Null) << "the outer call still completes";
}

TEST_F(ADispatch, FromAHandlerToAnotherRuntimeSucceeds)
{
    FakeRuntime third("third");
    third.connect();
    third.createProvider(channel("-third"));
    third.answer([](const ReceivedEvent&) { return Reply::text("\"third\""); });
    const std::string thirdClient = provider.connectToProvider(channel("-third"), false).text;
    provider.answer([&](const ReceivedEvent& event) {
        if (event.type != "ChannelProviderMessage")
            return Reply::null();
        const Outcome forwarded = provider.dispatch(thirdClient, "forward");
        return Reply::text(forwarded.text);
    });
    EXPECT_EQ(client.dispatch(clientId, "t").text, "\"third\"");
}

TEST_F(ADispatch, ReachesOneRuntimeInTheOrderTheEventsWereMade)
{
    for (int i = 0; i < 20; ++i)
        client.dispatch(clientId, std::to_string(i));
    const auto events = provider.events();
    ASSERT_EQ(events.size(), 21u);
    EXPECT_EQ(events[0].type, "ProviderClientConnected");
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(events[static_cast<std::size_t>(i) + 1].topic, std::to_string(i));
    for (const auto& event : events)
        EXPECT_EQ(event.thread, events[0].thread) << "one event thread per connection";
}

TEST_F(ADispatch, ServesManyRuntimesDispatchingFromSeveralThreads)
{
    constexpr int runtimes = 4;
    constexpr int dispatchesEach = 100;
    provider.answer([](const ReceivedEvent& event) { return Reply::text(event.payload); });
    std::vector<std::unique_ptr<FakeRuntime>> clients;
    std::vector<std::string> ids;
    for (int i = 0; i < runtimes; ++i) {
        clients.push_back(std::make_unique<FakeRuntime>("client-" + std::to_string(i)));
        clients.back()->connect();
        ids.push_back(clients.back()->connectToProvider(channel(), false).text);
    }
    std::atomic<int> correct{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < runtimes; ++i)
        threads.emplace_back([&, i] {
            for (int n = 0; n < dispatchesEach; ++n) {
                const std::string payload = std::to_string(i * 1000 + n);
                if (clients[static_cast<std::size_t>(i)]
                        ->dispatch(ids[static_cast<std::size_t>(i)], "t", payload)
                        .text == payload)
                    ++correct;
            }
        });
    // Meanwhile the provider calls back to its clients.
    client.answer([](const ReceivedEvent&) { return Reply::text("\"ok\""); });
    int providerCalls = 0;
    for (int n = 0; n < 50; ++n)
        providerCalls += provider.dispatchToEndpoint(providerId, clientId, "t").text == "\"ok\"" ? 1 : 0;
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(correct.load(), runtimes * dispatchesEach);
    EXPECT_EQ(providerCalls, 50);
}

} // namespace
