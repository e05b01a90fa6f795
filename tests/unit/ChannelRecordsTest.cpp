#include "channels/ChannelMessage.h"

#include "NativeDouble.h"

#include <gtest/gtest.h>

#include <unordered_set>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

detail::ChannelMessage decode(const std::vector<std::uint8_t>& bytes)
{
    const detail::DecodedValue decoded = detail::decodeMsgPack(bytes.data(), bytes.size());
    EXPECT_TRUE(decoded.ok()) << decoded.error;
    return detail::channelMessageFromMsgPack(decoded.value());
}

std::vector<std::uint8_t> encode(const EndpointId& endpoint)
{
    msgpack::sbuffer buffer;
    detail::Packer packer(buffer);
    detail::packEndpointId(packer, endpoint);
    return std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

TEST(AChannelEvent, DecodesItsSevenElementsByPosition)
{
    const auto message = decode(
        channelEvent("ChannelMessage", {"app-2", "main", "prices", "ch-1", "ep-1"}, "prices", "quote", "{\"n\":1}"));
    EXPECT_EQ(message.type, detail::EventType::ChannelMessage);
    EXPECT_EQ(message.endpoint, (EndpointId{"app-2", "main", "prices", "ch-1", "ep-1"}));
    EXPECT_EQ(message.channelName, "prices");
    EXPECT_EQ(message.topic, "quote");
    ASSERT_TRUE(message.payload);
    EXPECT_EQ(*message.payload, "{\"n\":1}");
    EXPECT_FALSE(message.payloadIsNull);

    const auto nullPayload = decode(channelEvent("ChannelMessage", {}, "prices", "quote", "ignored", true));
    EXPECT_TRUE(nullPayload.payloadIsNull);
    EXPECT_FALSE(nullPayload.payload);
}

TEST(AChannelEvent, ReadsMissingOrMistypedElementsAsEmpty)
{
    for (const char* hex : {"90", "c0", "a3 61 62 63", "81 a1 61 01"}) {
        const auto message = decode(hexBytes(hex));
        EXPECT_EQ(message.type, detail::EventType::Unknown) << hex;
        EXPECT_EQ(message.endpoint, EndpointId{}) << hex;
        EXPECT_FALSE(message.payloadIsNull) << hex;
    }
    // A short endpoint, a map as payload and 1 instead of true.
    const auto message = decode(hexBytes("97 a1 54 93 a1 75 a1 6e a1 63 a1 63 a1 74 81 a1 6b a1 76 a0 01"));
    EXPECT_EQ(message.type, detail::EventType::Unknown);
    EXPECT_EQ(message.endpoint, (EndpointId{"u", "n", "c", "", ""}));
    EXPECT_EQ(message.topic, "t");
    ASSERT_TRUE(message.payload);
    EXPECT_EQ(*message.payload, "");
    EXPECT_FALSE(message.payloadIsNull);
}

TEST(AnEndpointId, LeavesAsAMapOfItsFiveFieldsInKeyOrder)
{
    EXPECT_EQ(encode(EndpointId{}),
              hexBytes("85 aa 63 68 61 6e 6e 65 6c 5f 69 64 a0 ac 63 68 61 6e 6e 65 6c 5f 6e 61 6d 65"
                       " a0 ab 65 6e 64 70 6f 69 6e 74 5f 69 64 a0 a4 6e 61 6d 65 a0 a4 75 75 69 64"
                       " a0"));

    const auto received = decode(channelEvent("ChannelMessage", {"app-2", "main", "prices", "ch-1", "ep-1"}, "prices"));
    const Value sent = Value::decode(encode(received.endpoint));
    EXPECT_EQ(sent["uuid"].str(), "app-2");
    EXPECT_EQ(sent["name"].str(), "main");
    EXPECT_EQ(sent["channel_name"].str(), "prices");
    EXPECT_EQ(sent["channel_id"].str(), "ch-1");
    EXPECT_EQ(sent["endpoint_id"].str(), "ep-1");
}

TEST(AnEndpointId, IsEqualOnlyWhenAllFieldsAreAndHashesWellInLargeSets)
{
    const EndpointId endpoint{"u", "n", "c", "i", "e"};
    EXPECT_EQ(endpoint, (EndpointId{"u", "n", "c", "i", "e"}));
    EXPECT_NE(endpoint, (EndpointId{"u", "n", "c", "i", "E"}));

    // Endpoints whose fields are all equal, or that differ only by which
    // field holds a value, must not collide.
    std::unordered_set<EndpointId> endpoints;
    std::unordered_set<std::size_t> hashes;
    for (int i = 0; i < 2000; ++i) {
        const std::string value = std::to_string(i);
        for (const EndpointId& candidate : {EndpointId{value, value, value, value, value},
                                            EndpointId{value, "", "", "", ""}, EndpointId{"", "", "", "", value}}) {
            endpoints.insert(candidate);
            hashes.insert(std::hash<EndpointId>()(candidate));
        }
    }
    EXPECT_EQ(endpoints.size(), 6000u);
    EXPECT_GT(hashes.size(), 5990u);
}

} // namespace
