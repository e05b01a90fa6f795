// Channel records: events read by position whatever their shape, and
// endpoint equality and hashing.
#include "channels/ChannelMessage.h"

#include "NativeDouble.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

// The decoded message as one line: type|endpoint|channel|topic|payload.
std::string read(const std::vector<std::uint8_t>& bytes)
{
    const detail::DecodedValue decoded = detail::decodeMsgPack(bytes.data(), bytes.size());
    const detail::ChannelMessage m = detail::channelMessageFromMsgPack(decoded.value());
    const EndpointId& e = m.endpoint;
    return std::to_string(static_cast<int>(m.type)) + "|" + e.uuid + "," + e.name + "," + e.channelName + "," +
           e.channelId + "," + e.endpointId + "|" + m.channelName + "|" + m.topic + "|" +
           (m.payloadIsNull ? "<null>"
            : m.payload     ? *m.payload
                            : "<missing>");
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
