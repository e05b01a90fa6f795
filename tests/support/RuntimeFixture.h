// A fixture for tests that drive a Runtime from the factory against the
// native test double, with every buffer the double handed out checked to
// have come back.
#pragma once

#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "../stress/StressSupport.h"
#include "NativeDouble.h"
#include "Outcome.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace HalvoraTest {

class RuntimeFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        native().reset();
        factory = std::make_unique<HalvoraAdapterApi::RuntimeFactory>();
        runtime = factory->getRuntimeInstance(HalvoraAdapterApi::RuntimeOptions("app-1", "stable"));
    }

    void TearDown() override
    {
        runtime.reset();
        factory.reset();
        // A teardown handed to another thread may still be giving its last buffer back.
        EXPECT_TRUE(HalvoraStress::eventually([] { return native().outstandingBuffers() == 0; }))
            << native().outstandingBuffers() << " buffers not given back";
        EXPECT_EQ(native().invalidReleases(), 0u);
    }

    void connect() { runtime->connectAsync().get(); }

    std::shared_ptr<HalvoraAdapterApi::ChannelClient> connectedClient(const std::string& identity = "client-1",
                                                                      const std::string& channel = "news")
    {
        native().script("d_halvora_channels_connect_to_provider", Result::text(identity));
        auto client = runtime->getChannels()->createClient(channel);
        outcome(client->connectAsync(true));
        return client;
    }

    std::shared_ptr<HalvoraAdapterApi::ChannelProvider> openProvider(const std::string& identity = "provider-1")
    {
        native().script("d_halvora_channels_create_provider", Result::text(identity));
        auto provider = runtime->getChannels()->createProvider("news");
        outcome(provider->openAsync());
        return provider;
    }

    static NativeDouble& native() { return NativeDouble::instance(); }

    std::unique_ptr<HalvoraAdapterApi::RuntimeFactory> factory;
    std::shared_ptr<HalvoraAdapterApi::Runtime> runtime;
};

} // namespace HalvoraTest
