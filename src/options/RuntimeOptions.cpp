#include <HalvoraAdapterApi/RuntimeOptions.h>

#include <utility>

namespace HalvoraAdapterApi {

RuntimeOptions::RuntimeOptions(const std::string& uuid, const std::string& version)
    : uuid(uuid), version(version), host("127.0.0.1"), port(0), portDiscoveryMode(PortDiscoveryMode::Automatic),
      runtimeConnectOptions(RuntimeConnectOptions::Default), disableHeartbeating(false)
{}

RuntimeOptions::RuntimeOptions(const std::string& uuid, const std::string& version, const std::string& host, int port,
                               PortDiscoveryMode portDiscoveryMode, const std::string& arguments,
                               const RvmOptions& rvmOptions, const std::string& securityRealm,
                               RuntimeConnectOptions runtimeConnectOptions, bool disableHeartbeating)
    : uuid(uuid), version(version), host(host), port(port), portDiscoveryMode(portDiscoveryMode), arguments(arguments),
      rvmOptions(std::make_shared<const RvmOptions>(rvmOptions)), securityRealm(securityRealm),
      runtimeConnectOptions(runtimeConnectOptions), disableHeartbeating(disableHeartbeating)
{}

// Member by member: rvmOptions is shared, never copied again.
RuntimeOptions::RuntimeOptions(const RuntimeOptions& other) = default;
RuntimeOptions& RuntimeOptions::operator=(const RuntimeOptions& other) = default;

namespace {

// As with RvmOptions, the source is left with empty strings (a moved-from
// string is only "valid but unspecified") and no rvmOptions; its scalar
// fields keep their values.
void moveFrom(RuntimeOptions& target, RuntimeOptions& source) noexcept
{
    target.uuid = std::exchange(source.uuid, {});
    target.version = std::exchange(source.version, {});
    target.host = std::exchange(source.host, {});
    target.port = source.port;
    target.portDiscoveryMode = source.portDiscoveryMode;
    target.arguments = std::exchange(source.arguments, {});
    target.rvmOptions = std::move(source.rvmOptions);
    target.securityRealm = std::exchange(source.securityRealm, {});
    target.runtimeConnectOptions = source.runtimeConnectOptions;
    target.disableHeartbeating = source.disableHeartbeating;
}

} // namespace

RuntimeOptions::RuntimeOptions(RuntimeOptions&& other) noexcept
    : port(other.port), portDiscoveryMode(other.portDiscoveryMode), runtimeConnectOptions(other.runtimeConnectOptions),
      disableHeartbeating(other.disableHeartbeating)
{
    moveFrom(*this, other);
}

RuntimeOptions& RuntimeOptions::operator=(RuntimeOptions&& other) noexcept
{
    if (this != &other) {
        moveFrom(*this, other);
    }
    return *this;
}

RuntimeOptions::~RuntimeOptions() = default;

} // namespace HalvoraAdapterApi
