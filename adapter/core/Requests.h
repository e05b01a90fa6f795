// Decodes each request map of the C interface and serves it on the core.
// Shared by every transport; a malformed request becomes an error result.
#pragma once

#include "core/Completion.h"
#include "core/Result.h"
#include "core/RuntimeCore.h"

#include <cstdint>
#include <string>

namespace halvora::adapter {

struct ConnectRequest {
    RuntimeIdentity identity;
    std::uint64_t runtimePtr = 0;     // the context handed back with every event
    std::int64_t port = 0;            // the runtime options' "port": non-zero names a runtime service
    bool disableHeartbeating = false; // the runtime options' "disable_heartbeating"
    std::string arguments;            // for starting that service
    std::int64_t connectOptions = 0;  // the runtime options' "runtime_connect_options"
};

// Who asks. A transport that speaks for one runtime whatever the request
// says (the service for its peer) sets `handle`; 0 takes the request's own.
struct RequestContext {
    CallerContext caller;
    std::uint64_t handle = 0;
};

// Throw RequestError for a malformed request.
ConnectRequest readConnectRequest(const std::uint8_t* data, std::uint64_t length);
std::uint64_t readDisconnectRequest(const std::uint8_t* data, std::uint64_t length);

// Each runs `done` exactly once, possibly before returning.
void serveCreateProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                         Completion done);
void serveConnectToProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                            Completion done);
void serveDisconnectFromProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length,
                                 RequestContext context, Completion done);
void serveClientDispatch(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                         Completion done);
void serveDispatchToEndpoint(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                             Completion done);
void serveLaunchManifest(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, RequestContext context,
                         Completion done);

// The request named by `op` (the C function's name without its prefix:
// "create_provider", "client_dispatch", ...); an unknown name is an error.
void serveRequest(RuntimeCore& core, const std::string& op, const std::uint8_t* data, std::uint64_t length,
                  RequestContext context, Completion done);

} // namespace halvora::adapter
