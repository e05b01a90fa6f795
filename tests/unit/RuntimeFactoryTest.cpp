#include <HalvoraAdapterApi/RuntimeFactory.h>

#include "NativeDouble.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace HalvoraAdapterApi;

namespace {

RuntimeOptions optionsWithRealm(const std::string& uuid, const std::string& version, const std::string& realm)
{
    RuntimeOptions options(uuid, version);
    options.securityRealm = realm;
    return options;
}

TEST(TheRuntimeFactory, KeepsOneRuntimePerIdentity)
{
    RuntimeFactory factory;
    RuntimeOptions first("app-1", "stable");
    RuntimeOptions elsewhere("app-1", "stable");
    elsewhere.host = "10.0.0.1";
    elsewhere.port = 9696;
    elsewhere.arguments = "--verbose";

    auto runtime = factory.getRuntimeInstance(first);
    EXPECT_EQ(factory.getRuntimeInstance(elsewhere), runtime);
    EXPECT_EQ(runtime->getRuntimeOptions().host, "127.0.0.1");
    EXPECT_EQ(runtime->getRuntimeId(), "app-1/stable");

    auto realm = factory.getRuntimeInstance(optionsWithRealm("app-1", "stable", "blue"));
    EXPECT_NE(realm, runtime);
    EXPECT_EQ(realm->getRuntimeId(), "app-1/stable/blue");
    EXPECT_EQ(factory.getRuntimeInstance(RuntimeOptions("app-1", ""))->getRuntimeId(), "app-1/");
}

TEST(TheRuntimeFactory, SharesRuntimesWithCopiesAndHandsThemOverOnMove)
{
    RuntimeFactory factory;
    auto runtime = factory.getRuntimeInstance(RuntimeOptions("app-1", "stable"));

    RuntimeFactory copy(factory);
    EXPECT_EQ(copy.getRuntimeInstance(RuntimeOptions("app-1", "stable")), runtime);
    EXPECT_NE(copy.getRuntimeInstance(RuntimeOptions("app-2", "stable")),
              factory.getRuntimeInstance(RuntimeOptions("app-2", "stable")));

    RuntimeFactory moved(std::move(factory));
    EXPECT_EQ(moved.getRuntimeInstance(RuntimeOptions("app-1", "stable")), runtime);
    EXPECT_NE(factory.getRuntimeInstance(RuntimeOptions("app-1", "stable")),
              runtime); // NOLINT(bugprone-use-after-move)

    RuntimeFactory assigned;
    assigned = copy;
    EXPECT_EQ(assigned.getRuntimeInstance(RuntimeOptions("app-1", "stable")), runtime);
    assigned = RuntimeFactory();
    EXPECT_NE(assigned.getRuntimeInstance(RuntimeOptions("app-1", "stable")), runtime);
    assigned = std::move(moved); // takes the runtimes over
    EXPECT_EQ(assigned.getRuntimeInstance(RuntimeOptions("app-1", "stable")), runtime);
}

TEST(TheRuntimeFactory, DestroysItsRuntimesWithItself)
{
    std::weak_ptr<Runtime> watched;
    {
        RuntimeFactory factory;
        watched = factory.getRuntimeInstance(RuntimeOptions("app-1", "stable"));
        EXPECT_FALSE(watched.expired());
    }
    EXPECT_TRUE(watched.expired());
}

TEST(TheRuntimeFactory, HandsOutOneRuntimeToManyThreadsAskingAtOnce)
{
    RuntimeFactory factory;
    std::vector<std::shared_ptr<Runtime>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t thread = 0; thread < seen.size(); ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 100; ++round) {
                seen[thread] = factory.getRuntimeInstance(RuntimeOptions("app-" + std::to_string(round % 5), "v"));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<Runtime*> distinct;
    for (const auto& runtime : seen) {
        distinct.insert(runtime.get());
    }
    EXPECT_EQ(distinct.size(), 1u);
}

} // namespace
