#include "core/Requests.h"

#include "core/RequestMap.h"

#include <optional>
#include <string>

namespace halvora::adapter {

namespace {

// A request that fails before the core took `done` is answered here.
template <typename Serve>
void serving(Completion& done, Serve serve)
{
    try {
        serve();
    } catch (const RequestError& e) {
        if (done)
            done(Result::error(e.what()));
    }
}

// Room for an event's fields in front of its payload beyond the topic: the
// type, the sender's five texts and the channel's name. Those of runtimes
// and channels with very long names take a copy of the payload instead.
constexpr std::size_t eventFieldsRoom = 384;

// A message's payload: absent when "is_null" says so, whatever "payload_json"
// holds. Copied once, into the form its event carries.
std::optional<PackedPayload> payloadOf(const RequestMap& request, const std::string& topic)
{
    if (request.requireBool("is_null"))
        return std::nullopt;
    return PackedPayload(request.requireText("payload_json"), eventFieldsRoom + topic.size());
}

std::uint64_t handleOf(const RequestMap& request, const RequestContext& context)
{
    return context.handle != 0 ? context.handle : request.requireUnsigned("handle");
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
        connect.disableHeartbeating = options->optionalBool("disable_heartbeating").value_or(false);
        connect.arguments = options->optionalString("arguments").value_or(std::string());
        connect.connectOptions = options->optionalInteger("runtime_connect_options").value_or(0);
    }
    return connect;
}

std::uint64_t readDisconnectRequest(const std::uint8_t* data, std::uint64_t length)
{
    return RequestMap(data, length).requireUnsigned("handle");
}

// Every field is read before `done` moves into the core, so `serving`
// answers any failure to read one.
void serveCreateProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                         Completion done)
{
    serving(done, [&] {
        const RequestMap request(data, length);
        const auto handle = handleOf(request, context);
        Result result = core.createProvider(handle, request.requireString("provider_name"));
        std::move(done)(std::move(result));
    });
}

void serveConnectToProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                            Completion done)
{
    serving(done, [&] {
        const RequestMap request(data, length);
        const auto handle = handleOf(request, context);
        const auto name = request.requireString("provider_name");
        const bool wait = request.requireBool("wait");
        core.connectToProvider(handle, name, wait, context.caller, std::move(done));
    });
}

void serveDisconnectFromProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length,
                                 RequestContext context, Completion done)
{
    serving(done, [&] {
        const RequestMap request(data, length);
        const auto handle = handleOf(request, context);
        Result result = core.disconnectFromProvider(handle, request.requireString("client_id"));
        std::move(done)(std::move(result));
    });
}

void serveClientDispatch(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                         Completion done)
{
    serving(done, [&] {
        const RequestMap request(data, length);
        const auto handle = handleOf(request, context);
        const auto clientId = request.requireText("client_id");
        auto topic = request.requireString("topic");
        auto payload = payloadOf(request, topic);
        core.clientDispatch(handle, clientId, std::move(topic), std::move(payload), context.caller, std::move(done));
    });
}

void serveDispatchToEndpoint(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                             Completion done)
{
    serving(done, [&] {
        const RequestMap request(data, length);
        const auto handle = handleOf(request, context);
        const auto endpointId = request.requireMap("destination").requireText("endpoint_id"); // in the request's bytes
        const auto source = request.requireText("source");
        auto topic = request.requireString("topic");
        auto payload = payloadOf(request, topic);
        core.dispatchToEndpoint(handle, source, endpointId, std::move(topic), std::move(payload), context.caller,
                                std::move(done));
    });
}

void serveLaunchManifest(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                         Completion done)
{
    serving(done, [&] {
        const RequestMap request(data, length);
        const auto handle = handleOf(request, context);
        const auto url = request.requireString("manifest_url");
        request.optionalMap("rvm_options"); // accepted and checked; a local launch has no use for it
        Result result = core.launchManifest(handle, url);
        std::move(done)(std::move(result));
    });
}

void serveRequest(RuntimeCore& core, const std::string& op, const std::uint8_t* data, std::uint64_t length,
                  RequestContext context, Completion done)
{
    using Serve = void (*)(RuntimeCore&, const std::uint8_t*, std::uint64_t, RequestContext, Completion);
    static const std::pair<const char*, Serve> served[] = {
        {"create_provider", serveCreateProvider},
        {"connect_to_provider", serveConnectToProvider},
        {"disconnect_from_provider", serveDisconnectFromProvider},
        {"client_dispatch", serveClientDispatch},
        {"dispatch_to_endpoint", serveDispatchToEndpoint},
        {"launch_manifest", serveLaunchManifest},
    };
    for (const auto& entry : served)
        if (op == entry.first) {
            entry.second(core, data, length, context, std::move(done));
            return;
        }
    done(Result::error("the runtime service does not know the request '" + op + "'"));
}

} // namespace halvora::adapter
