// The runtime factory: one runtime per identity, shared by copies, handed
// over by moves, safe from many threads, and destroyed with the last factory
// that holds it.
#include <HalvoraAdapterApi/RuntimeFactory.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace HalvoraAdapterApi;

namespace {

TEST(TheRuntimeFactory, KeepsOneRuntimePerIdentityForItsCopiesAndThreadsAndDestroysItWithTheLastHolder)
{
    const RuntimeOptions app1("app-1", "stable"), app2("app-2", "stable");
    auto factory = std::make_unique<RuntimeFactory>();
    RuntimeOptions elsewhere("app-1", "stable");
    elsewhere.host = "10.0.0.1";
    elsewhere.port = 9696;
    elsewhere.arguments = "--verbose";
    auto runtime = factory->getRuntimeInstance(app1);
    EXPECT_EQ(factory->getRuntimeInstance(elsewhere), runtime);
    EXPECT_EQ(runtime->getRuntimeOptions().host, "127.0.0.1");
    EXPECT_EQ(runtime->getRuntimeId(), "app-1/stable");
    RuntimeOptions withRealm("app-1", "stable");
    withRealm.securityRealm = "blue";
    EXPECT_NE(factory->getRuntimeInstance(withRealm), runtime);
    EXPECT_EQ(factory->getRuntimeInstance(withRealm)->getRuntimeId(), "app-1/stable/blue");
    EXPECT_EQ(factory->getRuntimeInstance(RuntimeOptions("app-1", ""))->getRuntimeId(), "app-1/");

    RuntimeFactory copy(*factory);
    EXPECT_EQ(copy.getRuntimeInstance(app1), runtime);
    EXPECT_NE(copy.getRuntimeInstance(app2), factory->getRuntimeInstance(app2));
    RuntimeFactory moved(std::move(*factory));
    EXPECT_EQ(moved.getRuntimeInstance(app1), runtime);
    EXPECT_NE(factory->getRuntimeInstance(app1), runtime); // NOLINT(bugprone-use-after-move)
    RuntimeFactory assigned;
    assigned = copy;
    EXPECT_EQ(assigned.getRuntimeInstance(app1), runtime);
    assigned = RuntimeFactory();
    EXPECT_NE(assigned.getRuntimeInstance(app1), runtime);
    assigned = std::move(moved); // takes the runtimes over
    EXPECT_EQ(assigned.getRuntimeInstance(app1), runtime);
    EXPECT_NE(moved.getRuntimeInstance(app1), runtime); // NOLINT(bugprone-use-after-move)

    std::vector<std::shared_ptr<Runtime>> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t thread = 0; thread < seen.size(); ++thread) {
        threads.emplace_back([&, thread] {
            for (int round = 0; round < 100; ++round) {
                seen[thread] = factory->getRuntimeInstance(RuntimeOptions("app-" + std::to_string(round % 5), "v"));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(std::set<std::shared_ptr<Runtime>>(seen.begin(), seen.end()).size(), 1u);

    std::weak_ptr<Runtime> watched = runtime;
    runtime.reset();
    copy = RuntimeFactory();
    EXPECT_FALSE(watched.expired()); // still held by `assigned`
    assigned = RuntimeFactory();
    EXPECT_TRUE(watched.expired());
}

} // namespace
