// Events from the adapter reaching a connected runtime: the adapter's
// disconnection, events that do not decode, and failing subscribers.
#include "RuntimeFixture.h"

#include <stdexcept>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

const EndpointFields someone{"app-2", "main", "news", "ch-1", "ep-1"};

class TheEventIntake : public RuntimeFixture {
protected:
    Reply fire(const std::vector<std::uint8_t>& event, std::string* log = nullptr)
    {
        ::testing::internal::CaptureStderr();
        Reply reply = native().fireEvent(event);
        const std::string written = ::testing::internal::GetCapturedStderr();
        if (log != nullptr) {
            *log = written;
        }
        return reply;
    }
};

TEST_F(TheEventIntake, RepliesToAnAdapterDisconnectionWithTheExactEmptyReplyAndDropsLaterEvents)
{
    connect();
    std::vector<int> seen;
    runtime->subscribeDisconnected([&] { seen.push_back(1); });
    runtime->subscribeDisconnected([&] { seen.push_back(2); });
    const Reply reply = fire(adapterDisconnectedEvent());
    ASSERT_TRUE(reply.returned);
    EXPECT_EQ(reply.declaredLength, 34u);
    EXPECT_EQ(reply.bytes, bytesOf(Json{{"is_error", false}, {"is_null", true}, {"payload_json", ""}}));
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(native().repliesReleased(), 1u);

    std::string log;
    EXPECT_FALSE(fire(adapterDisconnectedEvent(), &log).returned);
    EXPECT_FALSE(fire(channelEvent("ChannelMessage", someone, "news", "quote"), &log).returned);
    EXPECT_EQ(seen.size(), 2u);
    EXPECT_EQ(log, "");
}

TEST_F(TheEventIntake, LogsAndDropsEventsThatDoNotDecode)
{
    connect();
    auto truncated = channelEvent("ChannelMessage", someone, "news", "quote", "{}");
    truncated.resize(truncated.size() / 2);
    std::vector<std::uint8_t> deep(65, 0x91); // one level deeper than the decoder takes
    deep.push_back(0xc0);
    const std::string error = "C++ ADAPTER:   Error parsing response: ";
    // Cut inside a value, or right after a container header that announces more than follows.
    for (const auto& [event, expected] :
         std::vector<std::pair<std::vector<std::uint8_t>, std::string>>{{{}, "null input"},
                                                                        {truncated, "end of buffer."},
                                                                        {hexBytes("97 a1 61"), "end of buffer."},
                                                                        {hexBytes("de 00 10"), "end of buffer."},
                                                                        {hexBytes("c1"), "format error."},
                                                                        {deep, "format error."}}) {
        std::string log;
        EXPECT_FALSE(fire(event, &log).returned);
        EXPECT_EQ(log, error + expected + "\n");
    }
    EXPECT_TRUE(runtime->isConnected());
}

TEST_F(TheEventIntake, HandsALargePayloadToTheHandlerAndRepliesWhole)
{
    connect();
    auto client = runtime->getChannels()->createClient("news");
    client->registerTopic("bulk", [](std::shared_ptr<std::string> payload, EndpointId) {
        return std::make_shared<std::string>(*payload + "!");
    });
    const std::string payload(100 * 1024, 'q');
    const Reply reply = fire(channelEvent("ChannelMessage", someone, "news", "bulk", payload));
    EXPECT_FALSE(reply.isError() || reply.isNull());
    EXPECT_EQ(reply.payload(), payload + "!");
}

TEST_F(TheEventIntake, TurnsAnyExceptionOfADisconnectionSubscriberIntoALogLine)
{
    for (const std::function<void()>& failing :
         std::vector<std::function<void()>>{[] { throw std::runtime_error("subscriber failed"); }, [] { throw 42; }}) {
        connect();
        runtime->unsubscribeDisconnected(nullptr);
        runtime->subscribeDisconnected(failing);
        std::string log;
        EXPECT_FALSE(fire(adapterDisconnectedEvent(), &log).returned);
        EXPECT_EQ(log, "An exception was thrown in C++ during the callback handler");
        EXPECT_FALSE(runtime->isConnected());
    }
}

} // namespace
