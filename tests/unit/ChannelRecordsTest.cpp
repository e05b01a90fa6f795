// Channel records: events read by position whatever their shape, and
// endpoint equality and hashing.
#include "channels/ChannelMessage.h"

#include "NativeDouble.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

// The message as one line: type|endpoint|channel|topic|payload.
std::string line(const detail::ChannelMessage& m)
{
    const EndpointId& e = m.endpoint;
    return std::to_string(static_cast<int>(m.type)) + "|" + e.uuid + "," + e.name + "," + e.channelName + "," +
           e.channelId + "," + e.endpointId + "|" + m.channelName + "|" + m.topic + "|" +
           (m.payloadIsNull ? "<null>"
            : m.payload     ? *m.payload
                            : "<missing>");
}

std::string read(const std::vector<std::uint8_t>& bytes)
{
    const detail::DecodedValue decoded = detail::decodeMsgPack(bytes.data(), bytes.size());
    return line(detail::channelMessageFromMsgPack(decoded.value()));
}

struct EventRow {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string read;
};

const EndpointFields someone{"app-2", "main", "prices", "ch-1", "ep-1"};

class AChannelEvent : public ::testing::TestWithParam<EventRow> {};

TEST_P(AChannelEvent, IsReadByPositionAndNeverFails)
{
    EXPECT_EQ(read(GetParam().bytes), GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Events, AChannelEvent,
    ::testing::Values(EventRow{"adapterDisconnected", adapterDisconnectedEvent(), "1|,,,,|||"},
                      EventRow{"message", channelEvent("ChannelMessage", someone, "prices", "quote", "{\"n\":1}"),
                               "2|app-2,main,prices,ch-1,ep-1|prices|quote|{\"n\":1}"},
                      EventRow{"channelDisconnected", channelEvent("ChannelDisconnected", {}, "c"), "3|,,,,|c||"},
                      EventRow{"providerMessage", channelEvent("ChannelProviderMessage", {}, "c"), "4|,,,,|c||"},
                      EventRow{"clientConnected", channelEvent("ProviderClientConnected", {}, "c"), "5|,,,,|c||"},
                      EventRow{"clientDisconnected", channelEvent("ProviderClientDisconnected", {}, "c"), "6|,,,,|c||"},
                      EventRow{"nullPayload", channelEvent("ChannelMessage", {}, "c", "t", "ignored", true),
                               "2|,,,,|c|t|<null>"},
                      EventRow{"typeInOtherCase", channelEvent("channelmessage", {}, "c"), "0|,,,,|c||"},
                      EventRow{"unknownType", channelEvent("Unknown", {}, "c"), "0|,,,,|c||"},
                      EventRow{"typeNotText", hexBytes("91 01"), "0|,,,,|||"},
                      EventRow{"emptyArray", hexBytes("90"), "0|,,,,|||"}, EventRow{"nil", hexBytes("c0"), "0|,,,,|||"},
                      EventRow{"text", hexBytes("a3 61 62 63"), "0|,,,,|||"},
                      EventRow{"map", hexBytes("81 a1 61 01"), "0|,,,,|||"},
                      // A short endpoint, a map as payload, and 1 where true belongs.
                      EventRow{"mistyped", hexBytes("97 a1 54 93 a1 75 a1 6e a1 63 a1 63 a1 74 81 a1 6b a1 76 a0 01"),
                               "0|u,n,c,,|c|t|"}),
    [](const auto& info) { return std::string(info.param.name); });

// The events an adapter writes are read in place, without the general
// decoder, whatever the width of their strings; other shapes are declined.
TEST(AChannelEvent, AsAdaptersWriteItIsReadInPlace)
{
    const std::string mid(40, 'c'), wide(300, 'w'), widest(70000, 'x'); // str 8, 16 and 32
    const EndpointFields endpoint{"u", mid, "c", "i", "e"};
    for (const auto& [event, expected] : std::vector<std::pair<std::vector<std::uint8_t>, std::string>>{
             {channelEvent("ChannelMessage", endpoint, "c", "t", "{}"), "2|u," + mid + ",c,i,e|c|t|{}"},
             {channelEvent("ProviderClientConnected", endpoint, wide, mid, widest),
              "5|u," + mid + ",c,i,e|" + wide + "|" + mid + "|" + widest},
             {channelEvent("Unknown", {}, "c", "", "", true), "0|,,,,|c||<null>"}}) {
        detail::ChannelMessage message;
        ASSERT_TRUE(detail::readChannelEvent(event.data(), event.size(), message));
        EXPECT_EQ(line(message), expected);
    }
    // The outer array in its 16- and 32-bit forms, which only a count of 7 fits.
    const auto message = channelEvent("ChannelMessage", endpoint, "c", "t", "{}");
    auto headed = [&](const std::string& header) {
        std::vector<std::uint8_t> event = hexBytes(header);
        event.insert(event.end(), message.begin() + 1, message.end());
        return event;
    };
    for (const auto& event : {headed("dc 00 07"), headed("dd 00 00 00 07")}) {
        detail::ChannelMessage read;
        ASSERT_TRUE(detail::readChannelEvent(event.data(), event.size(), read));
        EXPECT_EQ(line(read), "2|u," + mid + ",c,i,e|c|t|{}");
    }
    detail::ChannelMessage declined;
    for (const auto& event :
         {hexBytes("97 a1 54 93 a1 75 a1 6e a1 63 a1 63 a1 74 81 a1 6b a1 76 a0 01"), hexBytes("96 a1 54"),
          hexBytes("97 a1"), headed("dc 00 06"), headed("dd 00 00 00 06"), hexBytes("dd 00 00")}) {
        EXPECT_FALSE(detail::readChannelEvent(event.data(), event.size(), declined));
    }
}

TEST(AnEndpointId, IsEqualOnlyWhenAllFieldsAreAndHashesWellInLargeSets)
{
    const EndpointId endpoint{"u", "n", "c", "i", "e"};
    EXPECT_TRUE(endpoint == (EndpointId{"u", "n", "c", "i", "e"}) && !(endpoint != endpoint));
    for (const EndpointId& other :
         {EndpointId{"x", "n", "c", "i", "e"}, EndpointId{"u", "x", "c", "i", "e"}, EndpointId{"u", "n", "x", "i", "e"},
          EndpointId{"u", "n", "c", "x", "e"}, EndpointId{"u", "n", "c", "i", "x"}}) {
        EXPECT_TRUE(endpoint != other && !(endpoint == other));
    }
    // Equal fields, or one value in different fields, must not collide.
    std::unordered_set<EndpointId> endpoints;
    std::unordered_set<std::size_t> hashes;
    for (int i = 0; i < 2000; ++i) {
        const std::string v = std::to_string(i);
        for (const EndpointId& candidate :
             {EndpointId{v, v, v, v, v}, EndpointId{v, "", "", "", ""}, EndpointId{"", "", "", "", v}}) {
            endpoints.insert(candidate);
            hashes.insert(std::hash<EndpointId>()(candidate));
        }
    }
    EXPECT_EQ(endpoints.size(), 6000u);
    EXPECT_GT(hashes.size(), 5990u);
}

} // namespace
