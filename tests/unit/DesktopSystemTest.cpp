// DesktopSystem::launchManifest through the native test double: the request
// bytes, the three outcomes of its future, a stopped or destroyed queue, and
// the order of launches among other queued work.
#include <HalvoraAdapterApi/DesktopSystem.h>
#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"

#include "DesktopSystemAccess.h"
#include "NativeDouble.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace HalvoraAdapterApi;
using namespace HalvoraTest;
using detail::DesktopSystemAccess;

namespace {

const char* const launch = "d_halvora_desktop_launch_manifest";

// Hand-written fixstr hex (strings shorter than 32 bytes).
std::string s(const std::string& text)
{
    static const char digits[] = "0123456789abcdef";
    auto byte = [](unsigned value) { return std::string{digits[(value >> 4) & 0xf], digits[value & 0xf], ' '}; };
    std::string hex = byte(0xa0u | static_cast<unsigned>(text.size()));
    for (unsigned char c : text) {
        hex += byte(c);
    }
    return hex;
}

bool isReady(const std::shared_future<std::shared_ptr<std::string>>& future,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(0))
{
    return future.wait_for(timeout) == std::future_status::ready;
}

class DesktopSystemTest : public ::testing::Test {
protected:
    void SetUp() override { NativeDouble::instance().reset(); }
    void TearDown() override
    {
        queue.reset(); // stops the worker before the futures manager waits
        EXPECT_EQ(NativeDouble::instance().outstandingBuffers(), 0u);
        EXPECT_EQ(NativeDouble::instance().invalidReleases(), 0u);
    }

    std::shared_ptr<DesktopSystem> desktop(unsigned long long handle = 7)
    {
        return DesktopSystemAccess::create(handle, futures, *queue);
    }

    // Declared first so it is destroyed last, after the queue, as a runtime does.
    detail::FuturesManager futures;
    std::unique_ptr<detail::TaskQueue> queue = std::make_unique<detail::TaskQueue>();
};

TEST_F(DesktopSystemTest, RequestCarriesHandleUrlAndRvmOptionsMap)
{
    queue->start();
    auto options = std::make_shared<RvmOptions>(true, false, true, "/i", "/w", "p", "1", "c", "9");
    desktop(0x100000000ULL)->launchManifest("file:///m.json", options).wait();

    auto calls = NativeDouble::instance().calls(launch);
    ASSERT_EQ(calls.size(), 1u);
    const std::string rvm = "86 " + s("cacheKey") + "84 " + s("companyName") + s("c") + s("productName") + s("p") +
                            s("productVersion") + s("1") + s("runtimeVersion") + s("9") + s("disableAutoUpdates") +
                            "c2 " + s("doNotLaunch") + "c3 " + s("installDirectory") + s("/i") + s("noUi") + "c3 " +
                            s("workingDirectory") + s("/w");
    EXPECT_EQ(calls[0].bytes, hexBytes("83 " + s("handle") + "cf 00 00 00 01 00 00 00 00 " + s("manifest_url") +
                                       s("file:///m.json") + s("rvm_options") + rvm));
    EXPECT_EQ(calls[0].request.keys(), (std::vector<std::string>{"handle", "manifest_url", "rvm_options"}));
}

TEST_F(DesktopSystemTest, NoRvmOptionsIsSentAsNilAndAnEmptyUrlUnchecked)
{
    queue->start();
    desktop(7)->launchManifest("", nullptr).wait();
    auto calls = NativeDouble::instance().calls(launch);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].bytes,
              hexBytes("83 " + s("handle") + "07 " + s("manifest_url") + "a0 " + s("rvm_options") + "c0"));
    EXPECT_TRUE(calls[0].request.has("rvm_options"));
    EXPECT_TRUE(calls[0].request["rvm_options"].isNil());
}

TEST_F(DesktopSystemTest, RequestIsBuiltOnTheCallersThreadBeforeAnythingRuns)
{
    auto options = std::make_shared<RvmOptions>(false, false, false, "before", "", "", "", "", "");
    auto future = desktop()->launchManifest("url", options);
    options->installDirectory = "after";
    options.reset();
    EXPECT_EQ(NativeDouble::instance().callCount(launch), 0u); // nothing before the queue runs it
    EXPECT_FALSE(isReady(future));

    queue->start();
    future.wait();
    auto calls = NativeDouble::instance().calls(launch);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request["rvm_options"]["installDirectory"].str(), "before");
}

TEST_F(DesktopSystemTest, FutureYieldsTheReplyText)
{
    NativeDouble::instance().script(launch, Result::text("launched"));
    queue->start();
    auto result = desktop()->launchManifest("url", nullptr).get();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, "launched");
}

TEST_F(DesktopSystemTest, FutureYieldsAnEmptyPointerForAReplyWithoutValue)
{
    NativeDouble::instance().script(launch, Result::null());
    queue->start();
    EXPECT_FALSE(desktop()->launchManifest("url", nullptr).get());
}

TEST_F(DesktopSystemTest, FutureRethrowsTheLibrarysFailureAsHalvoraApiException)
{
    NativeDouble::instance().script(launch, Result::error("no such manifest"));
    queue->start();
    auto future = desktop()->launchManifest("url", nullptr);
    auto copy = future; // shares the state, as the futures manager's copy does
    const HalvoraApiException* first = nullptr;
    try {
        future.get();
        FAIL() << "expected HalvoraApiException";
    } catch (const HalvoraApiException& e) {
        EXPECT_STREQ(e.what(), "no such manifest");
        first = &e;
    }
    try {
        copy.get();
        FAIL() << "expected HalvoraApiException";
    } catch (const HalvoraApiException& e) {
        EXPECT_EQ(&e, first); // the same stored exception
    }
}

TEST_F(DesktopSystemTest, LaunchOnAStoppedQueueFailsAtOnceWithoutCallingTheLibrary)
{
    queue->start();
    queue->stop();
    auto future = desktop()->launchManifest("url", nullptr);
    ASSERT_TRUE(isReady(future));
    EXPECT_THROW(future.get(), HalvoraApiException);
    EXPECT_EQ(NativeDouble::instance().callCount(launch), 0u);
}

TEST_F(DesktopSystemTest, LaunchLeftInADestroyedQueueFailsWithHalvoraApiException)
{
    auto system = desktop();
    auto future = system->launchManifest("url", nullptr); // never started
    EXPECT_FALSE(isReady(future, std::chrono::milliseconds(20)));
    queue.reset();
    ASSERT_TRUE(isReady(future));
    try {
        future.get();
        FAIL() << "expected HalvoraApiException";
    } catch (const HalvoraApiException& e) {
        EXPECT_NE(std::string(e.what()).find("task queue"), std::string::npos) << e.what();
    }
    EXPECT_EQ(NativeDouble::instance().callCount(launch), 0u);
}

TEST_F(DesktopSystemTest, LaunchesRunInQueueOrderWithOtherWorkOnTheWorkerThread)
{
    std::mutex mutex;
    std::vector<std::string> order;
    std::vector<std::thread::id> threads;
    auto note = [&](const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(what);
        threads.push_back(std::this_thread::get_id());
    };
    NativeDouble::instance().respond(launch, [&](const Call& call) {
        note(call.request["manifest_url"].str());
        return Result::text("reply to " + call.request["manifest_url"].str());
    });
    auto other = [&](const std::string& name) {
        return queue->enqueue(detail::TaskQueue::Task([&note, name] {
            note(name);
            return std::shared_ptr<std::string>();
        }));
    };

    auto system = desktop();
    std::vector<std::shared_future<std::shared_ptr<std::string>>> launches;
    launches.push_back(system->launchManifest("a", nullptr));
    auto first = other("task 1");
    launches.push_back(system->launchManifest("b", nullptr));
    launches.push_back(system->launchManifest("c", nullptr));
    auto second = other("task 2");
    queue->start();
    second.wait();
    for (auto& future : launches) {
        future.wait();
    }

    EXPECT_EQ(order, (std::vector<std::string>{"a", "task 1", "b", "c", "task 2"}));
    for (const auto& id : threads) {
        EXPECT_NE(id, std::this_thread::get_id());
        EXPECT_EQ(id, threads.front());
    }
    EXPECT_EQ(*launches[0].get(), "reply to a");
    EXPECT_EQ(*launches[1].get(), "reply to b");
    EXPECT_EQ(*launches[2].get(), "reply to c");
}

TEST_F(DesktopSystemTest, ScriptedRepliesReachTheLaunchesInOrderAndTheHandleNeverChanges)
{
    auto& native = NativeDouble::instance();
    native.script(launch, Result::text("one"));
    native.script(launch, Result::null());
    native.script(launch, Result::error("three"));
    native.script(launch, Result::text("four"));
    auto system = desktop(42);
    auto f1 = system->launchManifest("1", nullptr);
    auto f2 = system->launchManifest("2", nullptr);
    auto f3 = system->launchManifest("3", nullptr);
    auto f4 = system->launchManifest("4", nullptr);
    queue->start();
    EXPECT_EQ(*f1.get(), "one");
    EXPECT_FALSE(f2.get());
    EXPECT_THROW(f3.get(), HalvoraApiException);
    EXPECT_EQ(*f4.get(), "four"); // a failure does not stop the queue
    auto calls = native.calls(launch);
    ASSERT_EQ(calls.size(), 4u);
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].request["handle"].uint(), 42u);
        EXPECT_EQ(calls[i].request["manifest_url"].str(), std::to_string(i + 1));
    }
}

TEST_F(DesktopSystemTest, ConcurrentLaunchesFromManyThreadsAllComplete)
{
    queue->start();
    auto system = desktop();
    constexpr int threadCount = 8;
    constexpr int perThread = 25;
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::vector<std::shared_future<std::shared_ptr<std::string>>> all;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                auto future = system->launchManifest(std::to_string(t * perThread + i), nullptr);
                std::lock_guard<std::mutex> lock(mutex);
                all.push_back(future);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (auto& future : all) {
        EXPECT_FALSE(future.get()); // the double's default: no value
    }
    EXPECT_EQ(NativeDouble::instance().callCount(launch), static_cast<std::size_t>(threadCount * perThread));
}

} // namespace
