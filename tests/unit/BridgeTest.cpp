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

} // namespace
