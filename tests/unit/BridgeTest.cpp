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

class BridgeTest : public ::testing::Test {
protected:
    void SetUp() override { NativeDouble::instance().reset(); }
    void TearDown() override
    {
        EXPECT_EQ(NativeDouble::instance().outstandingBuffers(), 0u);
        EXPECT_EQ(NativeDouble::instance().invalidReleases(), 0u);
    }
};

TEST_F(BridgeTest, SmokeValueNullAndError)
{
    auto& native = NativeDouble::instance();
    native.script("d_halvora_channels_client_dispatch", Result::text("reply"));
    native.script("d_halvora_channels_client_dispatch", Result::null());
    native.script("d_halvora_channels_client_dispatch", Result::error("boom"));

    std::shared_ptr<std::string> value;
    detail::invokeNative(d_halvora_channels_client_dispatch, EmptyRecord{}, value);
    ASSERT_TRUE(value);
    EXPECT_EQ(*value, "reply");

    std::shared_ptr<std::string> none;
    detail::invokeNative(d_halvora_channels_client_dispatch, EmptyRecord{}, none);
    EXPECT_FALSE(none);

    std::shared_ptr<std::string> failed;
    try {
        detail::invokeNative(d_halvora_channels_client_dispatch, EmptyRecord{}, failed);
        FAIL() << "expected an exception";
    } catch (const HalvoraApiException& e) {
        EXPECT_STREQ(e.what(), "boom");
    }
    auto calls = native.calls("d_halvora_channels_client_dispatch");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].bytes, hexBytes("80"));
}

TEST_F(BridgeTest, NilRequestReachesTheAdapterAsNullPointer)
{
    NativeResult result = detail::callNative(d_halvora_disconnect, detail::EncodedRequest());
    detail::releaseNativeResult(result);
    auto calls = NativeDouble::instance().calls("d_halvora_disconnect");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].nullRequest);
}

TEST_F(BridgeTest, UndecodableResultsAreLoggedAndReadAsEmptyText)
{
    auto& native = NativeDouble::instance();
    native.script("d_halvora_desktop_launch_manifest", Result::nullPointer());
    native.script("d_halvora_desktop_launch_manifest", Result::raw(hexBytes("a5 61 62")));
    native.script("d_halvora_desktop_launch_manifest", Result::raw(hexBytes("c1")));
    native.script("d_halvora_desktop_launch_manifest", Result::raw(hexBytes("81 a1 6b a1 76")));
    native.script("d_halvora_desktop_launch_manifest", Result::raw(hexBytes("a2 6f 6b ff ff")));
    const char* expectedLogs[] = {"C++ ADAPTER:   Error parsing response: null input\n",
                                  "C++ ADAPTER:   Error parsing response: end of buffer.\n",
                                  "C++ ADAPTER:   Error parsing response: format error.\n", "", ""};
    const char* expectedValues[] = {"", "", "", "", "ok"};
    for (int i = 0; i < 5; ++i) {
        std::shared_ptr<std::string> value;
        ::testing::internal::CaptureStderr();
        detail::invokeNative(d_halvora_desktop_launch_manifest, EmptyRecord{}, value);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), expectedLogs[i]) << i;
        ASSERT_TRUE(value) << i;
        EXPECT_EQ(*value, expectedValues[i]) << i;
    }
}

TEST_F(BridgeTest, NullAndErrorFlagsReleaseTheBufferOnce)
{
    auto& native = NativeDouble::instance();
    native.script("d_halvora_channels_client_dispatch", Result::nullPointer(4, false, true));
    native.script("d_halvora_channels_client_dispatch", Result::raw(hexBytes("a1 78"), true, true));
    native.script("d_halvora_channels_client_dispatch", Result::raw(hexBytes("80"), true, false));

    std::shared_ptr<std::string> value;
    detail::invokeNative(d_halvora_channels_client_dispatch, EmptyRecord{}, value);
    EXPECT_FALSE(value);
    EXPECT_EQ(native.buffersReleased(), 1u);
    try {
        detail::invokeNative(d_halvora_channels_client_dispatch, EmptyRecord{}, value);
        FAIL();
    } catch (const HalvoraApiException& e) {
        EXPECT_STREQ(e.what(), "x"); // the error flag wins over the null flag
    }
    try {
        detail::invokeNative(d_halvora_channels_client_dispatch, EmptyRecord{}, value);
        FAIL();
    } catch (const HalvoraApiException& e) {
        EXPECT_STREQ(e.what(), "");
    }
    EXPECT_FALSE(value);
    EXPECT_EQ(native.buffersReleased(), 3u);
}

TEST(HalvoraApiExceptionTest, CopyKeepsAndMoveEmptiesTheMessage)
{
    HalvoraApiException original("message");
    HalvoraApiException copy(original);
    EXPECT_STREQ(copy.what(), "message");
    HalvoraApiException moved(std::move(original));
    EXPECT_STREQ(moved.what(), "message");
    EXPECT_STREQ(original.what(), "");
    HalvoraApiException assigned("other");
    assigned = copy;
    EXPECT_STREQ(assigned.what(), "message");
    assigned = std::move(copy);
    EXPECT_STREQ(assigned.what(), "message");
    EXPECT_STREQ(copy.what(), "");
    const std::exception& base = assigned;
    EXPECT_STREQ(base.what(), "message");
}

} // namespace
