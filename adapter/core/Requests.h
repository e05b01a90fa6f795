// Decodes each request map of the C interface and serves it on the core.
// Shared by every transport; a malformed request becomes an error result.
#pragma once

#include "core/Result.h"
#include "core/RuntimeCore.h"

#include <cstdint>

namespace halvora::adapter {

struct ConnectRequest {
    RuntimeIdentity identity;
    std::uint64_t runtimePtr = 0; // the context handed back with every event
    std::int64_t port = 0;        // the runtime options' "port": non-zero names a runtime service
};

// Throw RequestError for a malformed request.
ConnectRequest readConnectRequest(const std::uint8_t* data, std::uint64_t length);
std::uint64_t readDisconnectRequest(const std::uint8_t* data, std::uint64_t length);

Result serveCreateProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length);
Result serveConnectToProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, CallerContext caller);
Result serveDisconnectFromProvider(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length);
Result serveClientDispatch(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, CallerContext caller);
Result serveDispatchToEndpoint(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length, CallerContext caller);
Result serveLaunchManifest(RuntimeCore& core, const std::uint8_t* data, std::uint64_t length);

} // namespace halvora::adapter
