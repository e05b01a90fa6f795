// A fixture for tests that drive a Runtime from the factory against the
// native test double, with the connect banner captured.
#pragma once

#include <HalvoraAdapterApi/RuntimeFactory.h>

#include "NativeDouble.h"
#include "runtime/DebugOutput.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace HalvoraTest {

class RuntimeFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        NativeDouble::instance().reset();
        HalvoraAdapterApi::detail::setDebugOutputSink([this](const std::wstring& text) {
            std::lock_guard<std::mutex> lock(bannerMutex);
            banners.push_back(text);
        });
        factory = std::make_unique<HalvoraAdapterApi::RuntimeFactory>();
        runtime = factory->getRuntimeInstance(HalvoraAdapterApi::RuntimeOptions("app-1", "stable"));
    }

    void TearDown() override
    {
        runtime.reset();
        factory.reset();
        HalvoraAdapterApi::detail::setDebugOutputSink(nullptr);
        // A teardown handed to another thread may still be giving its last buffer back.
        for (int i = 0; i < 200 && NativeDouble::instance().outstandingBuffers() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(NativeDouble::instance().outstandingBuffers(), 0u);
        EXPECT_EQ(NativeDouble::instance().invalidReleases(), 0u);
    }

    void connect() { runtime->connectAsync().get(); }

    std::vector<std::wstring> bannersSeen()
    {
        std::lock_guard<std::mutex> lock(bannerMutex);
        return banners;
    }

    NativeDouble& native() { return NativeDouble::instance(); }

    std::unique_ptr<HalvoraAdapterApi::RuntimeFactory> factory;
    std::shared_ptr<HalvoraAdapterApi::Runtime> runtime;

private:
    std::mutex bannerMutex;
    std::vector<std::wstring> banners;
};

} // namespace HalvoraTest
