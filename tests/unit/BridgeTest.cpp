// The bridge to the native adapter: how each kind of result reads, what the
// decoder reports, and that every result buffer goes back exactly once.
#include "native/Bridge.h"

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "NativeDouble.h"

#include <gtest/gtest.h>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

struct EmptyRecord {};
void packRecord(detail::Packer& packer, const EmptyRecord&)
{
    detail::packMapHeader(packer, 0);
}

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
        detail::invokeNative(d_halvora_channels_client_dispatch, EmptyRecord{}, value);
        outcome = value ? "value:" + *value : "null";
    } catch (const HalvoraApiException& e) {
        outcome = std::string("error:") + e.what();
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), GetParam().log);
    EXPECT_EQ(outcome, GetParam().outcome);
    EXPECT_EQ(native.calls()[0].bytes, bytesOf(Json::object()));
    EXPECT_EQ(native.outstandingBuffers(), 0u);
    EXPECT_EQ(native.invalidReleases(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Results, AnAdapterResult,
    ::testing::Values(ResultRow{"text", Result::text("reply"), "value:reply", ""},
                      ResultRow{"nullFlag", Result::null(), "null", ""},
                      ResultRow{"error", Result::error("boom"), "error:boom", ""},
                      ResultRow{"errorWinsOverNull", Result::raw({0xa1, 0x78}, true, true), "error:x", ""},
                      ResultRow{"errorNotText", Result::raw({0x80}, true), "error:", ""},
                      ResultRow{"nullDataWithNullFlag", Result::nullPointer(4, false, true), "null", ""},
                      ResultRow{"nullData", Result::nullPointer(), "value:", parseError + "null input\n"},
                      ResultRow{"nullDataError", Result::nullPointer(16, true), "error:", parseError + "null input\n"},
                      ResultRow{"truncated", Result::raw({0xa5, 0x61, 0x62}),
                                "value:", parseError + "end of buffer.\n"},
                      ResultRow{"empty", Result::raw({}), "value:", parseError + "end of buffer.\n"},
                      ResultRow{"reservedByte", Result::raw({0xc1}), "value:", parseError + "format error.\n"},
                      ResultRow{"notText", Result::raw({0x81, 0xa1, 0x6b, 0xa1, 0x76}), "value:", ""},
                      ResultRow{"trailingBytes", Result::raw({0xa2, 0x6f, 0x6b, 0xff, 0xff}), "value:ok", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TheBridge, PassesTheNilRequestAsANullPointer)
{
    NativeDouble::instance().reset();
    detail::releaseNativeResult(detail::callNative(d_halvora_disconnect, detail::EncodedRequest()));
    EXPECT_TRUE(NativeDouble::instance().calls()[0].nullRequest);
    EXPECT_EQ(NativeDouble::instance().outstandingBuffers(), 0u);
}

TEST(AnApiException, KeepsItsMessageWhenCopiedAndGivesItUpWhenMoved)
{
    HalvoraApiException original("message"), assigned("other"), target("other");
    HalvoraApiException copy(original);
    HalvoraApiException moved(std::move(original));
    assigned = copy;
    HalvoraApiException& self = assigned;
    assigned = self;
    assigned = std::move(self);
    target = std::move(copy);
    for (const HalvoraApiException* e : {&moved, &assigned, &target, &original, &copy}) {
        EXPECT_STREQ(e->what(), e == &original || e == &copy ? "" : "message");
    }
}

} // namespace
