// What the library reads from the adapter: channel events of every shape, and
// results of every kind; and its value types' equality, hashing, copies and moves.
#include "channels/ChannelMessage.h"
#include "native/Bridge.h"

#include <HalvoraAdapterApi/HalvoraApiException.h>

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

// As the general decoder reads it, and as the in-place reader does ("declined"
// when it leaves the event to the general decoder).
std::string read(const std::vector<std::uint8_t>& bytes)
{
    const detail::DecodedValue decoded = detail::decodeMsgPack(bytes.data(), bytes.size());
    return decoded.ok() ? line(detail::channelMessageFromMsgPack(decoded.value())) : "undecodable";
}

std::string readInPlace(const std::vector<std::uint8_t>& bytes)
{
    detail::ChannelMessage message;
    return detail::readChannelEvent(bytes.data(), bytes.size(), message) ? line(message) : "declined";
}

struct EventRow {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::string read;
    bool inPlace; // read in place, to the same message
};

const EndpointFields someone{"app-2", "main", "prices", "ch-1", "ep-1"};
const std::string mid(40, 'c'), wide(300, 'w'), widest(70000, 'x'); // str 8, 16 and 32
const EndpointFields midName{"u", mid, "c", "i", "e"};
const auto mistyped = bytesOf(Json::array({"T", {"u", "n", "c"}, "c", "t", {{"k", "v"}}, "", 1}));

// The outer array of a message in its 16- and 32-bit forms, which only a count of 7 fits.
std::vector<std::uint8_t> headed(std::vector<std::uint8_t> event)
{
    const auto message = channelEvent("ChannelMessage", midName, "c", "t", "{}");
    event.insert(event.end(), message.begin() + 1, message.end());
    return event;
}

class AChannelEvent : public ::testing::TestWithParam<EventRow> {};

TEST_P(AChannelEvent, IsReadByPositionAndNeverFailsAndInPlaceWhenInTheAdaptersForm)
{
    EXPECT_EQ(read(GetParam().bytes), GetParam().read);
    EXPECT_EQ(readInPlace(GetParam().bytes), GetParam().inPlace ? GetParam().read : "declined");
}

const std::string midMessage = "2|u," + mid + ",c,i,e|c|t|{}";

INSTANTIATE_TEST_SUITE_P(
    Events, AChannelEvent,
    ::testing::Values(EventRow{"adapterDisconnected", adapterDisconnectedEvent(), "1|,,,,|||", true},
                      EventRow{"message", channelEvent("ChannelMessage", someone, "prices", "quote", "{\"n\":1}"),
                               "2|app-2,main,prices,ch-1,ep-1|prices|quote|{\"n\":1}", true},
                      EventRow{"providerMessage", channelEvent("ChannelProviderMessage", {}, "c"), "4|,,,,|c||", true},
                      EventRow{"clientConnected", channelEvent("ProviderClientConnected", midName, wide, mid, widest),
                               "5|u," + mid + ",c,i,e|" + wide + "|" + mid + "|" + widest, true},
                      EventRow{"nullPayload", channelEvent("ChannelMessage", {}, "c", "t", "ignored", true),
                               "2|,,,,|c|t|<null>", true},
                      EventRow{"typeInOtherCase", channelEvent("channelmessage", {}, "c"), "0|,,,,|c||", true},
                      EventRow{"unknownType", channelEvent("Unknown", {}, "c", "", "", true), "0|,,,,|c||<null>", true},
                      EventRow{"array16", headed({0xdc, 0x00, 0x07}), midMessage, true},
                      EventRow{"array32", headed({0xdd, 0x00, 0x00, 0x00, 0x07}), midMessage, true},
                      EventRow{"array16Of6", headed({0xdc, 0x00, 0x06}), midMessage, false},
                      EventRow{"array32Of6", headed({0xdd, 0x00, 0x00, 0x00, 0x06}), midMessage, false},
                      EventRow{"typeNotText", {0x91, 0x01}, "0|,,,,|||", false},
                      EventRow{"shortArray", {0x96, 0xa1, 0x54}, "undecodable", false},
                      EventRow{"cutInText", {0x97, 0xa1}, "undecodable", false},
                      EventRow{"cutInHeader", {0xdd, 0x00, 0x00}, "undecodable", false},
                      EventRow{"nil", {0xc0}, "0|,,,,|||", false},
                      EventRow{"map", {0x81, 0xa1, 0x61, 0x01}, "0|,,,,|||", false},
                      // A short endpoint, a map as payload, and 1 where true belongs.
                      EventRow{"mistyped", mistyped, "0|u,n,c,,|c|t|", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TheValueTypes, CompareAndHashEndpointIdsByAllFieldsAndCopyAndMoveAnExceptionsMessage)
{
    const EndpointId endpoint{"u", "n", "c", "i", "e"};
    EXPECT_TRUE(endpoint == (EndpointId{"u", "n", "c", "i", "e"}) && !(endpoint != endpoint));
    for (const EndpointId& other :
         {EndpointId{"x", "n", "c", "i", "e"}, EndpointId{"u", "x", "c", "i", "e"}, EndpointId{"u", "n", "x", "i", "e"},
          EndpointId{"u", "n", "c", "x", "e"}, EndpointId{"u", "n", "c", "i", "x"}})
        EXPECT_TRUE(endpoint != other && !(endpoint == other));
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

    // An exception keeps its message when copied and gives it up when moved.
    HalvoraApiException original("message"), assigned("other"), target("other");
    HalvoraApiException copy(original);
    HalvoraApiException moved(std::move(original));
    assigned = copy;
    HalvoraApiException& self = assigned;
    assigned = self;
    assigned = std::move(self);
    target = std::move(copy);
    for (const HalvoraApiException* e : {&moved, &assigned, &target, &original, &copy})
        EXPECT_STREQ(e->what(), e == &original || e == &copy ? "" : "message");
}

// Adapter results: how each kind reads, what the decoder reports, and that
// every result buffer goes back exactly once.
struct ResultRow {
    const char* name;
    Result result;
    std::string outcome; // "value:<text>", "null" or "error:<text>"
    std::string log;     // what the decoder writes to stderr
};

const std::string parseError = "C++ ADAPTER:   Error parsing response: ";

class AnAdapterResult : public ::testing::TestWithParam<ResultRow> {};

TEST_P(AnAdapterResult, ReadsAsItsFlagsSayAndIsReleasedOnce)
{
    NativeDouble& native = NativeDouble::instance();
    native.reset();
    native.script("d_halvora_channels_client_dispatch", GetParam().result);
    std::shared_ptr<std::string> value;
    std::string outcome;
    ::testing::internal::CaptureStderr();
    try {
        detail::invokeNative(d_halvora_channels_client_dispatch, detail::EncodedRequest(), value);
        outcome = value ? "value:" + *value : "null";
    } catch (const HalvoraApiException& e) {
        outcome = std::string("error:") + e.what();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), GetParam().log);
    EXPECT_EQ(outcome, GetParam().outcome);
    EXPECT_TRUE(native.calls()[0].nullRequest); // the nil request reaches it as a null pointer
    EXPECT_EQ(native.outstandingBuffers(), 0u);
    EXPECT_EQ(native.invalidReleases(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Results, AnAdapterResult,
    ::testing::Values(ResultRow{"text", Result::text("reply"), "value:reply", ""},
                      ResultRow{"nullFlag", Result::null(), "null", ""},
                      ResultRow{"error", Result::error("boom"), "error:boom", ""},
                      ResultRow{"errorWinsOverNull", Result{{0xa1, 0x78}, true, true}, "error:x", ""},
                      ResultRow{"errorNotText", Result{{0x80}, true}, "error:", ""},
                      ResultRow{"nullDataWithNullFlag", Result::nullPointer(4, false, true), "null", ""},
                      ResultRow{"nullData", Result::nullPointer(), "value:", parseError + "null input\n"},
                      ResultRow{"nullDataError", Result::nullPointer(16, true), "error:", parseError + "null input\n"},
                      ResultRow{"truncated", Result{{0xa5, 0x61, 0x62}}, "value:", parseError + "end of buffer.\n"},
                      ResultRow{"empty", Result{{}}, "value:", parseError + "end of buffer.\n"},
                      ResultRow{"reservedByte", Result{{0xc1}}, "value:", parseError + "format error.\n"},
                      ResultRow{"notText", Result{{0x81, 0xa1, 0x6b, 0xa1, 0x76}}, "value:", ""},
                      ResultRow{"trailingBytes", Result{{0xa2, 0x6f, 0x6b, 0xff, 0xff}}, "value:ok", ""}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
