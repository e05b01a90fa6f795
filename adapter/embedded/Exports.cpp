// The exported C functions of the embedded adapter. Nothing thrown inside
// the adapter crosses them: every failure becomes an error result.
#include "NativeAdapter.h"
#include "core/Requests.h"
#include "embedded/EmbeddedAdapter.h"
#include "embedded/ResultBuffers.h"
#include "halvora_embedded.h"

#include <exception>
#include <string>

using halvora::adapter::Completion;
using halvora::adapter::RequestContext;
using halvora::adapter::Result;
using halvora::adapter::serveClientDispatch;
using halvora::adapter::serveConnectToProvider;
using halvora::adapter::serveCreateProvider;
using halvora::adapter::serveDisconnectFromProvider;
using halvora::adapter::serveDispatchToEndpoint;
using halvora::adapter::serveLaunchManifest;
using halvora::adapter::waitForCompletion;
using halvora::adapter::embedded::EmbeddedAdapter;
using halvora::adapter::embedded::makeNativeResult;

namespace {

template <typename Serve>
NativeResult guarded(Serve serve) noexcept
{
    try {
        return makeNativeResult(serve());
    } catch (const std::exception& e) {
        return makeNativeResult(Result::error(std::string("the adapter failed: ") + e.what()));
    } catch (...) {
        return makeNativeResult(Result::error("the adapter failed"));
    }
}

EmbeddedAdapter& adapter()
{
    return EmbeddedAdapter::instance();
}

// A request of a runtime connected to a runtime service goes there; any
// other is served in-process.
template <typename Serve>
NativeResult routed(const char* op, const uint8_t* request, uint64_t length, Serve serveInProcess) noexcept
{
    return guarded([&] {
        if (const auto remote = adapter().remotes().forRequest(request, length))
            return remote->call(op, request, length);
        return serveInProcess();
    });
}

// Serves a request in-process on the calling thread's behalf: the core may
// leave it pending, and this thread waits for its completion, holding no lock.
template <typename Serve>
Result servedHere(Serve serve, const uint8_t* request, uint64_t length)
{
    const RequestContext context{EmbeddedAdapter::caller(), 0};
    return waitForCompletion(
        [&](Completion done) { serve(adapter().core(), request, length, context, std::move(done)); });
}

} // namespace

extern "C" {

HALVORA_NATIVE_EXPORT NativeResult d_halvora_connect(const uint8_t* request, uint64_t length,
                                                     HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply)
{
    return guarded([&] { return adapter().connect(request, length, onEvent, releaseReply); });
}

HALVORA_NATIVE_EXPORT NativeResult d_halvora_disconnect(const uint8_t* request, uint64_t length)
{
    return guarded([&] { return adapter().disconnect(request, length); });
}

HALVORA_NATIVE_EXPORT NativeResult d_halvora_channels_connect_to_provider(const uint8_t* request, uint64_t length)
{
    return routed("connect_to_provider", request, length,
                  [&] { return servedHere(serveConnectToProvider, request, length); });
}

HALVORA_NATIVE_EXPORT NativeResult d_halvora_channels_disconnect_from_provider(const uint8_t* request, uint64_t length)
{
    return routed("disconnect_from_provider", request, length,
                  [&] { return servedHere(serveDisconnectFromProvider, request, length); });
}

HALVORA_NATIVE_EXPORT NativeResult d_halvora_channels_client_dispatch(const uint8_t* request, uint64_t length)
{
    return routed("client_dispatch", request, length, [&] { return servedHere(serveClientDispatch, request, length); });
}

HALVORA_NATIVE_EXPORT NativeResult d_halvora_channels_client_dispatch_to_endpoint(const uint8_t* request,
                                                                                  uint64_t length)
{
    return routed("dispatch_to_endpoint", request, length,
                  [&] { return servedHere(serveDispatchToEndpoint, request, length); });
}

HALVORA_NATIVE_EXPORT NativeResult d_halvora_channels_create_provider(const uint8_t* request, uint64_t length)
{
    return routed("create_provider", request, length, [&] { return servedHere(serveCreateProvider, request, length); });
}

HALVORA_NATIVE_EXPORT NativeResult d_halvora_desktop_launch_manifest(const uint8_t* request, uint64_t length)
{
    return routed("launch_manifest", request, length, [&] { return servedHere(serveLaunchManifest, request, length); });
}

HALVORA_NATIVE_EXPORT void deallocate_rust_buffer(uint8_t* data, uint64_t)
{
    halvora::adapter::embedded::releaseNativeResult(data);
}

HALVORA_NATIVE_EXPORT void halvora_embedded_shutdown(void)
{
    try {
        adapter().shutdown();
    } catch (...) {
        // a shutdown that failed part way leaves the remaining connections to exit
    }
}

} // extern "C"
