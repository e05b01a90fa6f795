#include <HalvoraAdapterApi/Runtime.h>

#include "RuntimeFixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

const EndpointFields someone{"app-2", "main", "prices", "ch-1", "ep-1"};

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

TEST_F(TheEventIntake, RepliesToAnAdapterDisconnectionWithTheExactEmptyReply)
{
    connect();
    std::vector<int> seen;
    runtime->subscribeDisconnected([&] { seen.push_back(1); });
    runtime->subscribeDisconnected([&] { seen.push_back(2); });

    const Reply reply = fire(adapterDisconnectedEvent());
    ASSERT_TRUE(reply.returned);
    EXPECT_EQ(reply.declaredLength, 34u);
    EXPECT_EQ(reply.bytes, hexBytes("83 a8 69 73 5f 65 72 72 6f 72 c2 a7 69 73 5f 6e 75 6c 6c c3"
                                    " ac 70 61 79 6c 6f 61 64 5f 6a 73 6f 6e a0"));
    EXPECT_EQ(seen, (std::vector<int>{1, 2}));
    EXPECT_FALSE(runtime->isConnected());
    EXPECT_EQ(native().repliesReleased(), 1u);

    // Later events are dropped until the next connect.
    EXPECT_FALSE(fire(adapterDisconnectedEvent()).returned);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(TheEventIntake, LogsAndDropsEventsThatDoNotDecode)
{
    connect();
    std::string log;
    EXPECT_FALSE(fire(std::vector<std::uint8_t>{}, &log).returned);
    EXPECT_EQ(log, "C++ ADAPTER:   Error parsing response: null input\n");

    auto truncated = channelEvent("ChannelMessage", someone, "prices", "quote", "{}");
    truncated.resize(truncated.size() / 2);
    // Cut inside a value, or right after a container header that announces more than follows.
    for (const auto& cut : {truncated, hexBytes("97 a1 61"), hexBytes("de 00 10")}) {
        EXPECT_FALSE(fire(cut, &log).returned);
        EXPECT_EQ(log, "C++ ADAPTER:   Error parsing response: end of buffer.\n");
    }

    // A reserved byte, and well-formed nesting one level deeper than the decoder takes.
    std::vector<std::uint8_t> deep(65, 0x91);
    deep.push_back(0xc0);
    for (const auto& bad : {hexBytes("c1"), deep}) {
        EXPECT_FALSE(fire(bad, &log).returned);
        EXPECT_EQ(log, "C++ ADAPTER:   Error parsing response: format error.\n");
    }
    EXPECT_TRUE(runtime->isConnected());
}

TEST_F(TheEventIntake, DropsEventsSilentlyWhileNotConnected)
{
    std::string log;
    runtime->connectAsync().get();
    runtime->registerDisconnection();
    EXPECT_FALSE(fire(channelEvent("ChannelMessage", someone, "prices", "quote"), &log).returned);
    EXPECT_EQ(log, "");
}

TEST_F(TheEventIntake, HandsOtherTypesToTheChannelsAndRepliesWithoutResult)
{
    connect();
    // Differs from the disconnection only in letter case.
    const Reply reply = fire(channelEvent("adapterdisconnected", someone, "prices"));
    ASSERT_TRUE(reply.returned);
    EXPECT_TRUE(reply.isNull());
    EXPECT_FALSE(reply.isError());
    EXPECT_TRUE(runtime->isConnected());
}

TEST_F(TheEventIntake, HandsLargePayloadsToTheHandlerAndRepliesWhole)
{
    connect();
    auto client = runtime->getChannels()->createClient("prices");
    std::string received;
    client->registerTopic("bulk", [&](std::shared_ptr<std::string> payload, EndpointId) {
        received = *payload;
        return std::make_shared<std::string>(*payload + "!");
    });
    const std::string payload(100 * 1024, 'q');

    const Reply reply = fire(channelEvent("ChannelMessage", someone, "prices", "bulk", payload));
    EXPECT_EQ(received, payload);
    ASSERT_TRUE(reply.returned);
    EXPECT_FALSE(reply.isError());
    EXPECT_FALSE(reply.isNull());
    EXPECT_EQ(reply.payload(), payload + "!");
}

TEST_F(TheEventIntake, TurnsAnyExceptionOfADisconnectionSubscriberIntoALogLine)
{
    connect();
    runtime->subscribeDisconnected([] { throw std::runtime_error("subscriber failed"); });
    std::string log;
    EXPECT_FALSE(fire(adapterDisconnectedEvent(), &log).returned);
    EXPECT_EQ(log, "An exception was thrown in C++ during the callback handler");
    EXPECT_FALSE(runtime->isConnected());

    connect();
    runtime->unsubscribeDisconnected(nullptr);
    runtime->subscribeDisconnected([] { throw 42; });
    EXPECT_FALSE(fire(adapterDisconnectedEvent(), &log).returned);
    EXPECT_EQ(log, "An exception was thrown in C++ during the callback handler");
}

} // namespace
