// The option values: their exact MessagePack bytes, and what copies and moves
// leave behind in both objects.
#include <HalvoraAdapterApi/RuntimeOptions.h>
#include <HalvoraAdapterApi/RvmOptions.h>

#include "NativeDouble.h"
#include "options/OptionsMsgPack.h"

#include <gtest/gtest.h>

using namespace HalvoraAdapterApi;
using HalvoraTest::Json;
using Mode = RuntimeOptions::PortDiscoveryMode;
using Connect = RuntimeOptions::RuntimeConnectOptions;

namespace {

// Every field as one line, so that one comparison checks them all.
std::string fields(const RvmOptions& o)
{
    return std::to_string(o.noUi) + std::to_string(o.disableAutoUpdates) + std::to_string(o.doNotLaunch) + "|" +
           o.installDirectory + "|" + o.workingDirectory + "|" + o.cacheKey.productName + "|" +
           o.cacheKey.productVersion + "|" + o.cacheKey.companyName + "|" + o.cacheKey.runtimeVersion;
}

std::string fields(const RuntimeOptions& o)
{
    return o.uuid + "|" + o.version + "|" + o.host + "|" + std::to_string(o.port) + "|" +
           std::to_string(static_cast<int>(o.portDiscoveryMode)) + "|" + o.arguments + "|" + o.securityRealm + "|" +
           std::to_string(static_cast<int>(o.runtimeConnectOptions)) + std::to_string(o.disableHeartbeating) + "|" +
           (o.rvmOptions ? fields(*o.rvmOptions) : "no rvm");
}

const RvmOptions fullRvm(true, false, true, "/opt/inst", "/srv/app", "prod", "2.1", "acme", "9.0");
const RvmOptions emptyRvm(false, false, false, "", "", "", "", "", "");

// clang-format off
Json rvmMap(const RvmOptions& o)
{
    const RvmOptions::CacheKey& k = o.cacheKey;
    const Json key = {{"companyName", k.companyName}, {"productName", k.productName},
                      {"productVersion", k.productVersion}, {"runtimeVersion", k.runtimeVersion}};
    return {{"cacheKey", key}, {"disableAutoUpdates", o.disableAutoUpdates}, {"doNotLaunch", o.doNotLaunch},
            {"installDirectory", o.installDirectory}, {"noUi", o.noUi}, {"workingDirectory", o.workingDirectory}};
}
// clang-format on

// The map of options, with the optional entries between the fixed ones.
Json optionsMap(const std::string& host, std::int64_t port, std::int64_t mode, std::int64_t connect,
                const Json& optional = Json::object(), const std::string& arguments = "", bool noHeartbeat = false)
{
    Json map = {{"arguments", arguments}, {"disable_heartbeating", noHeartbeat}, {"host", host},
                {"port", port},           {"port_discovery_mode", mode},         {"runtime_connect_options", connect}};
    map.update(optional);
    map["uuid"] = "u";
    map["version"] = "v";
    return map;
}

RuntimeOptions withIntegers(int port, std::int32_t mode, std::uint16_t connect, const std::string& host = "127.0.0.1")
{
    RuntimeOptions options("u", "v");
    options.host = host;
    options.port = port;
    options.portDiscoveryMode = static_cast<Mode>(mode);
    options.runtimeConnectOptions = static_cast<Connect>(connect);
    return options;
}

struct MapRow {
    const char* name;
    RuntimeOptions options;
    Json map; // written by an independent encoder, integers in their shortest form
};

class AnOptionsMap : public ::testing::TestWithParam<MapRow> {};

TEST_P(AnOptionsMap, HasItsKeysInByteOrderAndItsIntegersInTheirShortestForm)
{
    msgpack::sbuffer buffer;
    detail::Packer packer(buffer);
    detail::packRuntimeOptions(packer, GetParam().options);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size()),
              HalvoraTest::bytesOf(GetParam().map));
}

INSTANTIATE_TEST_SUITE_P(
    Maps, AnOptionsMap,
    ::testing::Values(
        MapRow{"defaults", RuntimeOptions("u", "v"), optionsMap("127.0.0.1", 0, 1, 0)},
        MapRow{
            "everything",
            RuntimeOptions("u", "v", "h", 300, Mode::FixedPort, "args", fullRvm, "realm", Connect::ConnectOnly, true),
            optionsMap("h", 300, 0, 1, {{"rvm_options", rvmMap(fullRvm)}, {"security_realm", "realm"}}, "args", true)},
        MapRow{"emptyRvmNoRealm",
               RuntimeOptions("u", "v", "", 0, Mode::Automatic, "", emptyRvm, "", Connect::Default, false),
               optionsMap("", 0, 1, 0, {{"rvm_options", rvmMap(emptyRvm)}})},
        MapRow{"smallNegatives", withIntegers(-5, -1, 127), optionsMap("127.0.0.1", -5, -1, 127)},
        MapRow{"extremes", withIntegers(2147483647, -2147483647 - 1, 0, std::string(40, 'h')),
               optionsMap(std::string(40, 'h'), 2147483647, -2147483647 - 1, 0)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TheOptions, ShareTheRvmOptionsBetweenCopiesAndLeaveAMovedFromObjectEmpty)
{
    RvmOptions rvm = fullRvm;
    auto source =
        std::make_unique<RuntimeOptions>("u", "v", "h", 1, Mode::FixedPort, "a", rvm, "r", Connect::ConnectOnly, true);
    rvm.installDirectory = "changed"; // the options took a copy
    const std::string all = "u|v|h|1|0|a|r|11|" + fields(fullRvm);
    RuntimeOptions copy(*source);
    RuntimeOptions assigned("x", "y");
    assigned = copy;
    source.reset();
    EXPECT_EQ(fields(copy), all);
    EXPECT_EQ(copy.rvmOptions.get(), assigned.rvmOptions.get());
    RuntimeOptions taken(std::move(copy));
    EXPECT_EQ(taken.rvmOptions.use_count(), 2); // moved, not shared a third time
    EXPECT_EQ(fields(copy), "|||1|0|||11|no rvm");
    assigned = std::move(taken);
    EXPECT_EQ(fields(taken), "|||1|0|||11|no rvm");
    RuntimeOptions& self = assigned;
    assigned = std::move(self);
    assigned = self;
    EXPECT_EQ(fields(assigned), all);

    RvmOptions rvmCopy(fullRvm);
    rvmCopy.cacheKey.companyName = "other";
    RvmOptions target = emptyRvm;
    RvmOptions moved(std::move(rvmCopy));
    EXPECT_EQ(fields(rvmCopy), "101||||||");
    target = std::move(moved);
    EXPECT_EQ(fields(moved), "101||||||");
    RvmOptions& alias = target;
    target = std::move(alias);
    target = alias;
    EXPECT_EQ(fields(target), "101|/opt/inst|/srv/app|prod|2.1|other|9.0");
}

} // namespace
