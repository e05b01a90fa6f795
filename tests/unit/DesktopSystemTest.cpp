// Manifest launches through a connected runtime on the native double: the
// request bytes, the outcomes, queue order, and launches that can never run.
#include <HalvoraAdapterApi/HalvoraApiException.h>
#include <HalvoraAdapterApi/Runtime.h>

#include "MsgPackHex.h"
#include "Outcome.h"
#include "RuntimeFixture.h"

#include <gtest/gtest.h>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

const char* const kLaunch = "d_halvora_desktop_launch_manifest";

class AManifestLaunch : public RuntimeFixture {
protected:
    void SetUp() override
    {
        RuntimeFixture::SetUp();
        connect();
        desktop = runtime->getDesktopSystem();
    }
    std::shared_ptr<DesktopSystem> desktop;
};

TEST_F(AManifestLaunch, SendsTheHandleUrlAndOptionsReadWhenCalledAndYieldsTheReply)
{
    native().script(kLaunch, Result::text("launched"));
    native().script(kLaunch, Result::null());
    native().script(kLaunch, Result::error("no such manifest"));
    auto options = std::make_shared<RvmOptions>(true, false, true, "/opt", "/srv", "p", "2", "c", "9");
    // Held back behind a dispatch, so that the options change before it runs.
    std::promise<void> release;
    native().respond("d_halvora_channels_client_dispatch", [&](const Call&) {
        release.get_future().wait();
        return Result::null();
    });
    native().script("d_halvora_channels_connect_to_provider", Result::text("client-1"));
    auto client = runtime->getChannels()->createClient("news");
    client->connectAsync(false).get();
    auto first = client->dispatchAsync("hold");
    auto withOptions = desktop->launchManifest("file:///a.json", options);
    options->installDirectory = "changed";
    options.reset();
    auto withoutOptions = desktop->launchManifest("", nullptr);
    auto failing = desktop->launchManifest("x", nullptr);
    EXPECT_EQ(native().callCount(kLaunch), 0u);
    release.set_value();

    EXPECT_EQ(outcome(withOptions), "value:launched");
    EXPECT_EQ(outcome(withoutOptions), "null");
    EXPECT_EQ(outcome(failing), "error:no such manifest");
    EXPECT_EQ(outcome(failing), "error:no such manifest"); // every copy of the future
    const std::string rvm = "86 " + str("cacheKey") + "84 " + str("companyName") + str("c") + str("productName") +
                            str("p") + str("productVersion") + str("2") + str("runtimeVersion") + str("9") +
                            str("disableAutoUpdates") + "c2 " + str("doNotLaunch") + "c3 " + str("installDirectory") +
                            str("/opt") + str("noUi") + "c3 " + str("workingDirectory") + str("/srv");
    const auto calls = native().calls(kLaunch);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].bytes, hexBytes("83 " + str("handle") + "01 " + str("manifest_url") + str("file:///a.json") +
                                       str("rvm_options") + rvm));
    EXPECT_EQ(calls[1].bytes,
              hexBytes("83 " + str("handle") + "01 " + str("manifest_url") + str("") + str("rvm_options") + "c0"));
    const auto all = native().calls();
    EXPECT_EQ(all[all.size() - 4].function, "d_halvora_channels_client_dispatch"); // in queue order
}

TEST_F(AManifestLaunch, FailsWithAnApiErrorWhenTheRuntimeIsGoneBeforeItRuns)
{
    runtime->disconnectAsync().get();
    const std::string stopped = "error:The runtime's task queue has stopped; the manifest launch was not run";
    EXPECT_EQ(outcome(desktop->launchManifest("url", nullptr)), stopped);
    EXPECT_EQ(native().callCount(kLaunch), 0u);
}

} // namespace
