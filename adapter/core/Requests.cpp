#include "core/Requests.h"

#include "core/RequestMap.h"

#include <optional>
#include <string>

namespace halvora::adapter {

namespace {

template <typename Serve>
Result serving(Serve serve)
{
    try {
        return serve();
    } catch (const RequestError& e) {
        return Result::error(e.what());
    }
}

// A message's payload: absent when "is_null" says so, whatever "payload_json" holds.
std::optional<std::string> payloadOf(const RequestMap& request)
{
    if (request.requireBool("is_null"))
        return std::nullopt;
    return request.requireString("payload_json");
}

} // namespace

ConnectRequest readConnectRequest(const std::uint8_t* data, std::uint64_t length)
{
    const RequestMap request(data, length);
    ConnectRequest connect;
    connect.runtimePtr = request.requireUnsigned("runtime_ptr");
    request.optionalString("version");
    if (const auto options = request.optionalMap("runtime_options")) {
        connect.identity.uuid = options->optionalString("uuid").value_or(std::string());
        connect.port = options->optionalInteger("port").value_or(0);
        if (connect.port < 0 || connect.port > 65535)
            throw RequestError("'port' must be 0 (the embedded runtime) or 1 to 65535 (a runtime service)");
    }
    return connect;
}

std::uint64_t readDisconnectRequest(const std::uint8_t* data, std::uint64_t length)
{
    return RequestMap(data, length).requireUnsigned("handle");
}

Result serveCreateProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length)
{
    return serving([&] {
        const RequestMap request(data, length);
        return core.createProvider(request.requireUnsigned("handle"), request.requireString("provider_name"));
    });
}

Result serveConnectToProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, CallerContext caller)
{
    return serving([&] {
        const RequestMap request(data, length);
        const auto handle = request.requireUnsigned("handle");
        const auto name = request.requireString("provider_name");
        return core.connectToProvider(handle, name, request.requireBool("wait"), caller);
    });
}

Result serveDisconnectFromProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length)
{
    return serving([&] {
        const RequestMap request(data, length);
        return core.disconnectFromProvider(request.requireUnsigned("handle"), request.requireString("client_id"));
    });
}

Result serveClientDispatch(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, CallerContext caller)
{
    return serving([&] {
        const RequestMap request(data, length);
        const auto handle = request.requireUnsigned("handle");
        const auto clientId = request.requireString("client_id");
        const auto topic = request.requireString("topic");
        return core.clientDispatch(handle, clientId, topic, payloadOf(request), caller);
    });
}

Result serveDispatchToEndpoint(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, CallerContext caller)
{
    return serving([&] {
        const RequestMap request(data, length);
        const auto handle = request.requireUnsigned("handle");
        const auto endpointId = request.requireMap("destination").requireString("endpoint_id");
        const auto source = request.requireString("source");
        const auto topic = request.requireString("topic");
        return core.dispatchToEndpoint(handle, source, endpointId, topic, payloadOf(request), caller);
    });
}

Result serveLaunchManifest(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length)
{
    return serving([&] {
        const RequestMap request(data, length);
        const auto handle = request.requireUnsigned("handle");
        const auto url = request.requireString("manifest_url");
        request.optionalMap("rvm_options"); // accepted and checked; a local launch has no use for it
        return core.launchManifest(handle, url);
    });
}

} // namespace halvora::adapter
