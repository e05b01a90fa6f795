// RvmOptions and RuntimeOptions: constructors, defaults, copy/move semantics,
// shared rvmOptions ownership, and the exact bytes of their MessagePack maps.
#include <HalvoraAdapterApi/RuntimeOptions.h>
#include <HalvoraAdapterApi/RvmOptions.h>

#include "options/OptionsMsgPack.h"

#include "NativeDouble.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

using namespace HalvoraAdapterApi;
using HalvoraTest::hexBytes;
using HalvoraTest::Value;

namespace {

// Hand-written MessagePack: a fixstr (shorter than 32 bytes) as hex text.
std::string s(const std::string& text)
{
    EXPECT_LT(text.size(), 32u);
    static const char digits[] = "0123456789abcdef";
    auto byte = [](unsigned value) { return std::string{digits[(value >> 4) & 0xf], digits[value & 0xf], ' '}; };
    std::string hex = byte(0xa0u | static_cast<unsigned>(text.size()));
    for (unsigned char c : text) {
        hex += byte(c);
    }
    return hex;
}

std::vector<std::uint8_t> bytesOf(const RvmOptions& options)
{
    msgpack::sbuffer buffer;
    detail::Packer packer(buffer);
    detail::packRvmOptions(packer, options);
    return std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

std::vector<std::uint8_t> bytesOf(const RuntimeOptions& options)
{
    msgpack::sbuffer buffer;
    detail::Packer packer(buffer);
    detail::packRuntimeOptions(packer, options);
    return std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

Value decoded(const std::vector<std::uint8_t>& bytes)
{
    bool ok = false;
    Value value = Value::decode(bytes, &ok);
    EXPECT_TRUE(ok);
    return value;
}

RvmOptions emptyRvm()
{
    return RvmOptions(false, false, false, "", "", "", "", "", "");
}

RvmOptions fullRvm()
{
    return RvmOptions(true, false, true, "/opt/inst", "/srv/app", "prod", "2.1", "acme", "9.0");
}

const std::string emptyRvmHex = "86 " + s("cacheKey") + "84 " + s("companyName") + s("") + s("productName") + s("") +
                                s("productVersion") + s("") + s("runtimeVersion") + s("") + s("disableAutoUpdates") +
                                "c2 " + s("doNotLaunch") + "c2 " + s("installDirectory") + s("") + s("noUi") + "c2 " +
                                s("workingDirectory") + s("");

const std::string fullRvmHex = "86 " + s("cacheKey") + "84 " + s("companyName") + s("acme") + s("productName") +
                               s("prod") + s("productVersion") + s("2.1") + s("runtimeVersion") + s("9.0") +
                               s("disableAutoUpdates") + "c2 " + s("doNotLaunch") + "c3 " + s("installDirectory") +
                               s("/opt/inst") + s("noUi") + "c3 " + s("workingDirectory") + s("/srv/app");

// ---- RvmOptions ---------------------------------------------------------

TEST(RvmOptionsTest, ConstructorStoresEveryArgument)
{
    RvmOptions options = fullRvm();
    EXPECT_TRUE(options.noUi);
    EXPECT_FALSE(options.disableAutoUpdates);
    EXPECT_TRUE(options.doNotLaunch);
    EXPECT_EQ(options.installDirectory, "/opt/inst");
    EXPECT_EQ(options.workingDirectory, "/srv/app");
    EXPECT_EQ(options.cacheKey.productName, "prod");
    EXPECT_EQ(options.cacheKey.productVersion, "2.1");
    EXPECT_EQ(options.cacheKey.companyName, "acme");
    EXPECT_EQ(options.cacheKey.runtimeVersion, "9.0");
    static_assert(!std::is_default_constructible<RvmOptions>::value, "RvmOptions has no default constructor");
}

TEST(RvmOptionsTest, EmptyOptionsStillWriteAllSixKeysAndTheFourCacheKeys)
{
    EXPECT_EQ(bytesOf(emptyRvm()), hexBytes(emptyRvmHex));
    Value map = decoded(bytesOf(emptyRvm()));
    EXPECT_EQ(map.keys(), (std::vector<std::string>{"cacheKey", "disableAutoUpdates", "doNotLaunch", "installDirectory",
                                                    "noUi", "workingDirectory"}));
    EXPECT_EQ(map["cacheKey"].keys(),
              (std::vector<std::string>{"companyName", "productName", "productVersion", "runtimeVersion"}));
    for (const auto& entry : map["cacheKey"].entries) {
        EXPECT_EQ(entry.second.kind, Value::Kind::Str);
        EXPECT_EQ(entry.second.text, "");
    }
}

TEST(RvmOptionsTest, FullOptionsBytesUseBooleansAndCamelCaseKeysInByteOrder)
{
    EXPECT_EQ(bytesOf(fullRvm()), hexBytes(fullRvmHex));
    Value map = decoded(bytesOf(fullRvm()));
    for (const char* key : {"noUi", "disableAutoUpdates", "doNotLaunch"}) {
        EXPECT_EQ(map[key].kind, Value::Kind::Bool) << key;
    }
    EXPECT_TRUE(map["noUi"].boolean);
    EXPECT_FALSE(map["disableAutoUpdates"].boolean);
    EXPECT_EQ(map["cacheKey"]["runtimeVersion"].str(), "9.0");
}

TEST(RvmOptionsTest, LongStringsTakeTheirLongerStringForm)
{
    const std::string directory(40, 'd');
    RvmOptions options(false, true, false, directory, "", "", "", "", "");
    Value map = decoded(bytesOf(options));
    EXPECT_EQ(map["installDirectory"].str(), directory);
    EXPECT_TRUE(map["disableAutoUpdates"].boolean);
    const std::vector<std::uint8_t> bytes = bytesOf(options);
    const std::vector<std::uint8_t> str8 = hexBytes(s("installDirectory") + "d9 28");
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), str8.begin(), str8.end()), bytes.end());
}

TEST(RvmOptionsTest, ChangingACopyLeavesTheSourceUnchanged)
{
    RvmOptions source = fullRvm();
    RvmOptions copy(source);
    copy = emptyRvm();
    copy.cacheKey.companyName = "other";
    EXPECT_EQ(bytesOf(source), hexBytes(fullRvmHex));

    RvmOptions assigned = emptyRvm();
    assigned = source;
    EXPECT_EQ(bytesOf(assigned), hexBytes(fullRvmHex));
    assigned.noUi = false;
    EXPECT_EQ(bytesOf(source), hexBytes(fullRvmHex));
}

TEST(RvmOptionsTest, MoveLeavesTheSourceStringsEmptyAndItsFlagsUnchanged)
{
    RvmOptions source = fullRvm();
    RvmOptions moved(std::move(source));
    EXPECT_EQ(bytesOf(moved), hexBytes(fullRvmHex));
    EXPECT_TRUE(source.noUi);
    EXPECT_FALSE(source.disableAutoUpdates);
    EXPECT_TRUE(source.doNotLaunch);
    EXPECT_EQ(source.installDirectory, "");
    EXPECT_EQ(source.workingDirectory, "");
    EXPECT_EQ(source.cacheKey.productName, "");
    EXPECT_EQ(source.cacheKey.productVersion, "");
    EXPECT_EQ(source.cacheKey.companyName, "");
    EXPECT_EQ(source.cacheKey.runtimeVersion, "");

    RvmOptions target = emptyRvm();
    target = std::move(moved);
    EXPECT_EQ(bytesOf(target), hexBytes(fullRvmHex));
    EXPECT_TRUE(moved.noUi);
    EXPECT_EQ(moved.installDirectory, "");
    EXPECT_EQ(moved.cacheKey.runtimeVersion, "");
}

TEST(RvmOptionsTest, SelfAssignmentLeavesTheObjectUnchanged)
{
    RvmOptions options = fullRvm();
    RvmOptions& alias = options;
    options = alias;
    EXPECT_EQ(bytesOf(options), hexBytes(fullRvmHex));
    options = std::move(alias);
    EXPECT_EQ(bytesOf(options), hexBytes(fullRvmHex));
}

// ---- RuntimeOptions -----------------------------------------------------

TEST(RuntimeOptionsTest, ShortConstructorDefaults)
{
    RuntimeOptions options("app-uuid", "1.0");
    EXPECT_EQ(options.uuid, "app-uuid");
    EXPECT_EQ(options.version, "1.0");
    EXPECT_EQ(options.host, "127.0.0.1");
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(static_cast<std::int32_t>(options.portDiscoveryMode), 1);
    EXPECT_EQ(options.portDiscoveryMode, RuntimeOptions::PortDiscoveryMode::Automatic);
    EXPECT_EQ(options.arguments, "");
    EXPECT_FALSE(options.rvmOptions);
    EXPECT_EQ(options.securityRealm, "");
    EXPECT_EQ(static_cast<std::uint16_t>(options.runtimeConnectOptions), 0);
    EXPECT_FALSE(options.disableHeartbeating);
    static_assert(std::is_same<std::underlying_type<RuntimeOptions::PortDiscoveryMode>::type, std::int32_t>::value,
                  "signed 32-bit");
    static_assert(std::is_same<std::underlying_type<RuntimeOptions::RuntimeConnectOptions>::type, std::uint16_t>::value,
                  "unsigned 16-bit");
}

TEST(RuntimeOptionsTest, ShortConstructedMapHasEightEntriesInByteOrder)
{
    RuntimeOptions options("u", "1.0");
    const std::string expected = "88 " + s("arguments") + s("") + s("disable_heartbeating") + "c2 " + s("host") +
                                 s("127.0.0.1") + s("port") + "00 " + s("port_discovery_mode") + "01 " +
                                 s("runtime_connect_options") + "00 " + s("uuid") + s("u") + s("version") + s("1.0");
    EXPECT_EQ(bytesOf(options), hexBytes(expected));
    Value map = decoded(bytesOf(options));
    EXPECT_FALSE(map.has("security_realm"));
    EXPECT_FALSE(map.has("rvm_options"));
    EXPECT_EQ(map["arguments"].kind, Value::Kind::Str);
    EXPECT_EQ(map["disable_heartbeating"].kind, Value::Kind::Bool);
}

TEST(RuntimeOptionsTest, FullConstructorStoresEveryArgumentAndCopiesTheRvmOptions)
{
    RvmOptions rvm = fullRvm();
    RuntimeOptions options("u", "v", "host.example", 4242, RuntimeOptions::PortDiscoveryMode::FixedPort, "--a b", rvm,
                           "realm", RuntimeOptions::RuntimeConnectOptions::ConnectOnly, true);
    EXPECT_EQ(options.uuid, "u");
    EXPECT_EQ(options.version, "v");
    EXPECT_EQ(options.host, "host.example");
    EXPECT_EQ(options.port, 4242);
    EXPECT_EQ(options.portDiscoveryMode, RuntimeOptions::PortDiscoveryMode::FixedPort);
    EXPECT_EQ(options.arguments, "--a b");
    ASSERT_TRUE(options.rvmOptions);
    EXPECT_NE(options.rvmOptions.get(), &rvm);
    rvm.installDirectory = "changed";
    EXPECT_EQ(options.rvmOptions->installDirectory, "/opt/inst");
    EXPECT_EQ(options.securityRealm, "realm");
    EXPECT_EQ(options.runtimeConnectOptions, RuntimeOptions::RuntimeConnectOptions::ConnectOnly);
    EXPECT_TRUE(options.disableHeartbeating);
}

TEST(RuntimeOptionsTest, FullMapCarriesRvmOptionsAndSecurityRealmInByteOrder)
{
    RuntimeOptions options("u", "v", "h", 300, RuntimeOptions::PortDiscoveryMode::FixedPort, "args", fullRvm(), "realm",
                           RuntimeOptions::RuntimeConnectOptions::ConnectOnly, true);
    const std::string expected = "8a " + s("arguments") + s("args") + s("disable_heartbeating") + "c3 " + s("host") +
                                 s("h") + s("port") + "cd 01 2c " + s("port_discovery_mode") + "00 " +
                                 s("runtime_connect_options") + "01 " + s("rvm_options") + fullRvmHex +
                                 s("security_realm") + s("realm") + s("uuid") + s("u") + s("version") + s("v");
    EXPECT_EQ(bytesOf(options), hexBytes(expected));
}

TEST(RuntimeOptionsTest, FullMapAlwaysCarriesRvmOptionsButSecurityRealmOnlyWhenNotEmpty)
{
    RuntimeOptions options("u", "v", "", 0, RuntimeOptions::PortDiscoveryMode::Automatic, "", emptyRvm(), "",
                           RuntimeOptions::RuntimeConnectOptions::Default, false);
    const std::string expected = "89 " + s("arguments") + s("") + s("disable_heartbeating") + "c2 " + s("host") +
                                 s("") + s("port") + "00 " + s("port_discovery_mode") + "01 " +
                                 s("runtime_connect_options") + "00 " + s("rvm_options") + emptyRvmHex + s("uuid") +
                                 s("u") + s("version") + s("v");
    EXPECT_EQ(bytesOf(options), hexBytes(expected));
    Value map = decoded(bytesOf(options));
    EXPECT_FALSE(map.has("security_realm"));
    EXPECT_TRUE(map["rvm_options"].isMap());
}

TEST(RuntimeOptionsTest, IntegersTakeTheirShortestEncodingAtTheirWidths)
{
    struct Case {
        int port;
        std::int32_t mode;
        std::uint16_t connect;
        std::string portHex, modeHex, connectHex;
    };
    const Case cases[] = {
        {-5, -1, 127, "fb", "ff", "7f"},
        {-200, -33, 128, "d1 ff 38", "d0 df", "cc 80"},
        {40000, 255, 65535, "cd 9c 40", "cc ff", "cd ff ff"},
        {70000, -40000, 256, "ce 00 01 11 70", "d2 ff ff 63 c0", "cd 01 00"},
        {2147483647, -2147483647 - 1, 0, "ce 7f ff ff ff", "d2 80 00 00 00", "00"},
    };
    for (const Case& c : cases) {
        RuntimeOptions options("u", "v");
        options.port = c.port;
        options.portDiscoveryMode = static_cast<RuntimeOptions::PortDiscoveryMode>(c.mode);
        options.runtimeConnectOptions = static_cast<RuntimeOptions::RuntimeConnectOptions>(c.connect);
        const std::string expected = "88 " + s("arguments") + s("") + s("disable_heartbeating") + "c2 " + s("host") +
                                     s("127.0.0.1") + s("port") + c.portHex + " " + s("port_discovery_mode") +
                                     c.modeHex + " " + s("runtime_connect_options") + c.connectHex + " " + s("uuid") +
                                     s("u") + s("version") + s("v");
        EXPECT_EQ(bytesOf(options), hexBytes(expected)) << c.port;
        Value map = decoded(bytesOf(options));
        if (c.port < 0) {
            EXPECT_EQ(map["port"].kind, Value::Kind::Int);
            EXPECT_EQ(map["port"].integer, c.port);
        }
    }
}

TEST(RuntimeOptionsTest, CopiesShareTheRvmOptionsObjectAndOutliveTheSource)
{
    auto source =
        std::make_unique<RuntimeOptions>("u", "v", "h", 1, RuntimeOptions::PortDiscoveryMode::FixedPort, "a", fullRvm(),
                                         "r", RuntimeOptions::RuntimeConnectOptions::Default, false);
    const RvmOptions* shared = source->rvmOptions.get();
    RuntimeOptions copy(*source);
    EXPECT_EQ(copy.rvmOptions.get(), shared);
    EXPECT_EQ(bytesOf(copy), bytesOf(*source));
    EXPECT_EQ(source->rvmOptions.use_count(), 2);

    RuntimeOptions assigned("x", "y");
    assigned = copy;
    EXPECT_EQ(assigned.rvmOptions.get(), shared);
    EXPECT_EQ(bytesOf(assigned), bytesOf(*source));
    EXPECT_EQ(assigned.uuid, "u");

    const std::vector<std::uint8_t> before = bytesOf(*source);
    source.reset();
    ASSERT_TRUE(copy.rvmOptions);
    EXPECT_EQ(copy.rvmOptions.get(), shared);
    EXPECT_EQ(copy.rvmOptions.use_count(), 2);
    EXPECT_EQ(bytesOf(copy), before);

    // Assigning a short-constructed object drops the reference.
    assigned = RuntimeOptions("x", "y");
    EXPECT_FALSE(assigned.rvmOptions);
    EXPECT_EQ(copy.rvmOptions.use_count(), 1);
}

TEST(RuntimeOptionsTest, SelfAssignmentLeavesTheObjectUnchanged)
{
    RuntimeOptions options("u", "v", "h", 1, RuntimeOptions::PortDiscoveryMode::FixedPort, "a", fullRvm(), "r",
                           RuntimeOptions::RuntimeConnectOptions::ConnectOnly, true);
    const std::vector<std::uint8_t> before = bytesOf(options);
    RuntimeOptions& alias = options;
    options = alias;
    EXPECT_EQ(bytesOf(options), before);
    options = std::move(alias);
    EXPECT_EQ(bytesOf(options), before);
    EXPECT_EQ(options.rvmOptions.use_count(), 1);
}

TEST(RuntimeOptionsTest, MoveTakesTheRvmOptionsAndLeavesTheSourceStringsEmpty)
{
    RuntimeOptions source("u", "v", "h", 7, RuntimeOptions::PortDiscoveryMode::FixedPort, "a", fullRvm(), "r",
                          RuntimeOptions::RuntimeConnectOptions::ConnectOnly, true);
    const RvmOptions* shared = source.rvmOptions.get();
    const std::vector<std::uint8_t> before = bytesOf(source);

    RuntimeOptions moved(std::move(source));
    EXPECT_EQ(bytesOf(moved), before);
    EXPECT_EQ(moved.rvmOptions.get(), shared);
    EXPECT_EQ(moved.rvmOptions.use_count(), 1);
    EXPECT_FALSE(source.rvmOptions);
    EXPECT_EQ(source.uuid, "");
    EXPECT_EQ(source.version, "");
    EXPECT_EQ(source.host, "");
    EXPECT_EQ(source.arguments, "");
    EXPECT_EQ(source.securityRealm, "");
    EXPECT_EQ(source.port, 7);
    EXPECT_EQ(source.portDiscoveryMode, RuntimeOptions::PortDiscoveryMode::FixedPort);
    EXPECT_EQ(source.runtimeConnectOptions, RuntimeOptions::RuntimeConnectOptions::ConnectOnly);
    EXPECT_TRUE(source.disableHeartbeating);

    RuntimeOptions target("x", "y");
    target = std::move(moved);
    EXPECT_EQ(bytesOf(target), before);
    EXPECT_EQ(target.rvmOptions.get(), shared);
    EXPECT_FALSE(moved.rvmOptions);
    EXPECT_EQ(moved.uuid, "");
    static_assert(std::is_nothrow_move_constructible<RuntimeOptions>::value, "noexcept move");
    static_assert(std::is_nothrow_move_assignable<RuntimeOptions>::value, "noexcept move");
    static_assert(std::is_nothrow_move_constructible<RvmOptions>::value, "noexcept move");
}

} // namespace
