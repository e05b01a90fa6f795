// Manifest launches through a connected runtime on the native double: the
// request bytes, the outcomes, queue order, and launches that can never run.
#include "RuntimeFixture.h"

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;

namespace {

const char* const kLaunch = "d_halvora_desktop_launch_manifest";

class AManifestLaunch : public RuntimeFixture {};

TEST_F(AManifestLaunch, SendsTheHandleUrlAndOptionsReadWhenCalledAndYieldsTheReplyInQueueOrder)
{
    connect();
    auto desktop = runtime->getDesktopSystem();
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
    auto client = connectedClient();
    auto first = client->dispatchAsync("hold");
    auto withOptions = desktop->launchManifest("file:///a.json", options);
    options->installDirectory = "changed";
    options.reset();
    auto withoutOptions = desktop->launchManifest("", nullptr);
    auto failing = desktop->launchManifest("x", nullptr);
    EXPECT_EQ(native().calls(kLaunch).size(), 0u);
    release.set_value();

    EXPECT_EQ(outcome(withOptions), "value:launched");
    EXPECT_EQ(outcome(withoutOptions), "null");
    EXPECT_EQ(outcome(failing), "error:no such manifest");
    EXPECT_EQ(outcome(failing), "error:no such manifest"); // every copy of the future
    const auto calls = native().calls(kLaunch);
    ASSERT_EQ(calls.size(), 3u);
    // The options as the options map writes them, read when the launch was asked for.
    const Json rvm = calls[0].request["rvm_options"];
    EXPECT_EQ(rvm["installDirectory"], "/opt");
    EXPECT_EQ(calls[0].bytes, bytesOf({{"handle", 1}, {"manifest_url", "file:///a.json"}, {"rvm_options", rvm}}));
    EXPECT_EQ(calls[1].bytes, bytesOf({{"handle", 1}, {"manifest_url", ""}, {"rvm_options", nullptr}}));
    const auto all = native().calls();
    EXPECT_EQ(all[all.size() - 4].function, "d_halvora_channels_client_dispatch"); // in queue order
    // Once the runtime is gone, a launch fails without reaching the adapter.
    runtime->disconnectAsync().get();
    EXPECT_EQ(outcome(desktop->launchManifest("url", nullptr)),
              "error:The runtime's task queue has stopped; the manifest launch was not run");
    EXPECT_EQ(native().calls(kLaunch).size(), 3u);
}

} // namespace
