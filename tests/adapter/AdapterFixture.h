// Base fixture: every test starts and ends with no live connection, and
// ends with every buffer given back on both sides of the boundary.
#pragma once

#include "FakeRuntime.h"
#include "embedded/ResultBuffers.h"
#include "halvora_embedded.h"

#include <gtest/gtest.h>

namespace halvora::adapter::testing {

class AdapterFixture : public ::testing::Test {
protected:
    void TearDown() override
    {
        halvora_embedded_shutdown();
        EXPECT_EQ(FakeRuntime::outstandingReplies(), 0u) << "reply buffers not released";
        EXPECT_EQ(FakeRuntime::badReleases(), 0u) << "reply buffers released twice or never handed out";
        EXPECT_EQ(embedded::liveResultBuffers(), 0u) << "result buffers not given back";
    }

    // A channel name of this test's own.
    static std::string channel(const std::string& suffix = "")
    {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        return std::string(test->test_suite_name()) + "." + test->name() + suffix;
    }
};

} // namespace halvora::adapter::testing
