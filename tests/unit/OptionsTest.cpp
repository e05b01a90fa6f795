// The option values: their exact MessagePack bytes, and what copies and moves
// leave behind in both objects.
#include <HalvoraAdapterApi/RuntimeOptions.h>
#include <HalvoraAdapterApi/RvmOptions.h>

#include "MsgPackHex.h"
#include "NativeDouble.h"
#include "options/OptionsMsgPack.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace HalvoraAdapterApi;
using HalvoraTest::hexBytes;
using Mode = RuntimeOptions::PortDiscoveryMode;
using Connect = RuntimeOptions::RuntimeConnectOptions;

namespace {

const auto s = HalvoraTest::str;

std::vector<std::uint8_t> bytesOf(const RuntimeOptions& options)
{
    msgpack::sbuffer buffer;
    detail::Packer packer(buffer);
    detail::packRuntimeOptions(packer, options);
    return std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

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

const std::string fullRvmHex = "86 " + s("cacheKey") + "84 " + s("companyName") + s("acme") + s("productName") +
                               s("prod") + s("productVersion") + s("2.1") + s("runtimeVersion") + s("9.0") +
                               s("disableAutoUpdates") + "c2 " + s("doNotLaunch") + "c3 " + s("installDirectory") +
                               s("/opt/inst") + s("noUi") + "c3 " + s("workingDirectory") + s("/srv/app");
const std::string emptyRvmHex = "86 " + s("cacheKey") + "84 " + s("companyName") + s("") + s("productName") + s("") +
                                s("productVersion") + s("") + s("runtimeVersion") + s("") + s("disableAutoUpdates") +
                                "c2 " + s("doNotLaunch") + "c2 " + s("installDirectory") + s("") + s("noUi") + "c2 " +
                                s("workingDirectory") + s("");

// The map of options built with the short constructor, with the given integers.
std::string shortMap(const std::string& host, const std::string& port, const std::string& mode,
                     const std::string& connect)
{
    return "88 " + s("arguments") + s("") + s("disable_heartbeating") + "c2 " + s("host") + s(host) + s("port") + port +
           " " + s("port_discovery_mode") + mode + " " + s("runtime_connect_options") + connect + " " + s("uuid") +
           s("u") + s("version") + s("v");
}

struct MapRow {
    const char* name;
    RuntimeOptions options;
    std::string hex;
};

RuntimeOptions withIntegers(int port, std::int32_t mode, std::uint16_t connect, const std::string& host = "127.0.0.1")
{
    RuntimeOptions options("u", "v");
    options.host = host;
    options.port = port;
    options.portDiscoveryMode = static_cast<Mode>(mode);
    options.runtimeConnectOptions = static_cast<Connect>(connect);
    return options;
}

class AnOptionsMap : public ::testing::TestWithParam<MapRow> {};

TEST_P(AnOptionsMap, HasItsKeysInByteOrderAndItsIntegersInTheirShortestForm)
{
    EXPECT_EQ(bytesOf(GetParam().options), hexBytes(GetParam().hex));
}

INSTANTIATE_TEST_SUITE_P(
    Maps, AnOptionsMap,
    ::testing::Values(
        MapRow{"defaults", RuntimeOptions("u", "v"), shortMap("127.0.0.1", "00", "01", "00")},
        MapRow{
            "everything",
            RuntimeOptions("u", "v", "h", 300, Mode::FixedPort, "args", fullRvm, "realm", Connect::ConnectOnly, true),
            "8a " + s("arguments") + s("args") + s("disable_heartbeating") + "c3 " + s("host") + s("h") + s("port") +
                "cd 01 2c " + s("port_discovery_mode") + "00 " + s("runtime_connect_options") + "01 " +
                s("rvm_options") + fullRvmHex + s("security_realm") + s("realm") + s("uuid") + s("u") + s("version") +
                s("v")},
        MapRow{"emptyRvmNoRealm",
               RuntimeOptions("u", "v", "", 0, Mode::Automatic, "", emptyRvm, "", Connect::Default, false),
               "89 " + s("arguments") + s("") + s("disable_heartbeating") + "c2 " + s("host") + s("") + s("port") +
                   "00 " + s("port_discovery_mode") + "01 " + s("runtime_connect_options") + "00 " + s("rvm_options") +
                   emptyRvmHex + s("uuid") + s("u") + s("version") + s("v")},
        MapRow{"smallNegatives", withIntegers(-5, -1, 127), shortMap("127.0.0.1", "fb", "ff", "7f")},
        MapRow{"oneByte", withIntegers(-200, -33, 128), shortMap("127.0.0.1", "d1 ff 38", "d0 df", "cc 80")},
        MapRow{"twoBytes", withIntegers(40000, 255, 65535), shortMap("127.0.0.1", "cd 9c 40", "cc ff", "cd ff ff")},
        MapRow{"fourBytes", withIntegers(70000, -40000, 256),
               shortMap("127.0.0.1", "ce 00 01 11 70", "d2 ff ff 63 c0", "cd 01 00")},
        MapRow{"extremes", withIntegers(2147483647, -2147483647 - 1, 0, std::string(40, 'h')),
               shortMap(std::string(40, 'h'), "ce 7f ff ff ff", "d2 80 00 00 00", "00")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TheOptions, KeepTheirDefaultsAndShareTheRvmOptionsBetweenCopies)
{
    EXPECT_EQ(fields(RuntimeOptions("u", "v")), "u|v|127.0.0.1|0|1|||00|no rvm");
    RvmOptions rvm = fullRvm;
    auto source =
        std::make_unique<RuntimeOptions>("u", "v", "h", 1, Mode::FixedPort, "a", rvm, "r", Connect::ConnectOnly, true);
    rvm.installDirectory = "changed"; // the options took a copy
    const std::string all = "u|v|h|1|0|a|r|11|" + fields(fullRvm);
    EXPECT_EQ(fields(*source), all);

    RuntimeOptions copy(*source);
    RuntimeOptions assigned("x", "y");
    assigned = copy;
    EXPECT_EQ(fields(assigned), all);
    source.reset();
    EXPECT_EQ(copy.rvmOptions.get(), assigned.rvmOptions.get());
    EXPECT_EQ(copy.rvmOptions.use_count(), 2);
    EXPECT_EQ(fields(copy), all);

    RvmOptions rvmCopy(fullRvm);
    RvmOptions rvmAssigned = emptyRvm;
    rvmAssigned = rvmCopy;
    rvmCopy.cacheKey.companyName = "other";
    EXPECT_EQ(fields(rvmAssigned), fields(fullRvm));
}

TEST(TheOptions, LeaveAMovedFromObjectWithEmptyStringsAndItsFlags)
{
    RvmOptions source = fullRvm;
    RvmOptions moved(std::move(source));
    EXPECT_EQ(fields(moved), fields(fullRvm));
    EXPECT_EQ(fields(source), "101||||||");
    RvmOptions target = emptyRvm;
    target = std::move(moved);
    EXPECT_EQ(fields(target), fields(fullRvm));
    EXPECT_EQ(fields(moved), "101||||||");
    RvmOptions& alias = target;
    target = std::move(alias);
    target = alias;
    EXPECT_EQ(fields(target), fields(fullRvm));

    RuntimeOptions options("u", "v", "h", 7, Mode::FixedPort, "a", fullRvm, "r", Connect::ConnectOnly, true);
    const std::string all = fields(options);
    RuntimeOptions taken(std::move(options));
    EXPECT_EQ(fields(taken), all);
    EXPECT_EQ(taken.rvmOptions.use_count(), 1);
    EXPECT_EQ(fields(options), "|||7|0|||11|no rvm");
    RuntimeOptions assigned("x", "y");
    assigned = std::move(taken);
    EXPECT_EQ(fields(assigned), all);
    EXPECT_EQ(fields(taken), "|||7|0|||11|no rvm");
    RuntimeOptions& self = assigned;
    assigned = std::move(self);
    assigned = self;
    EXPECT_EQ(fields(assigned), all);
}

} // namespace
