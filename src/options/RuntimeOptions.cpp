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

void moveFrom(RuntimeOptions& target, RuntimeOptions& source) noexcept
{
    target.uuid = std::move(source.uuid);
    target.version = std::move(source.version);
    target.host = std::move(source.host);
    target.port = source.port;
    target.portDiscoveryMode = source.portDiscoveryMode;
    target.arguments = std::move(source.arguments);
    target.rvmOptions = std::move(source.rvmOptions);
    target.securityRealm = std::move(source.securityRealm);
    target.runtimeConnectOptions = source.runtimeConnectOptions;
    target.disableHeartbeating = source.disableHeartbeating;
    // As with RvmOptions, the source is left with empty strings (and no
    // rvmOptions); its scalar fields keep their values.
    source.uuid.clear();
    source.version.clear();
    source.host.clear();
    source.arguments.clear();
    source.securityRealm.clear();
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
