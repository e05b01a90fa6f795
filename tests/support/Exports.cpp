// The C interface of the adapter, answered by the test double.
#include "NativeDouble.h"

using HalvoraTest::NativeDouble;

extern "C" {

HALVORA_NATIVE_EXPORT NativeResult d_halvora_connect(const uint8_t* request, uint64_t length,
                                                     HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply)
{
    HalvoraTest::Connection connection;
    connection.onEvent = onEvent;
    connection.releaseReply = releaseReply;
    if (const auto decoded = HalvoraTest::decoded({request, request + length}); decoded.is_object())
        connection.runtime = reinterpret_cast<void*>(decoded.value("runtime_ptr", uintptr_t{0}));
    // Known before the call returns, as a real adapter may send events at once.
    NativeDouble::instance().rememberConnection(connection);
    return NativeDouble::instance().handle("d_halvora_connect", request, length);
}

#define HALVORA_DOUBLE_FUNCTION(name)                                                                                  \
    HALVORA_NATIVE_EXPORT NativeResult name(const uint8_t* request, uint64_t length)                                   \
    {                                                                                                                  \
        return NativeDouble::instance().handle(#name, request, length);                                                \
    }

HALVORA_DOUBLE_FUNCTION(d_halvora_disconnect)
HALVORA_DOUBLE_FUNCTION(d_halvora_channels_connect_to_provider)
HALVORA_DOUBLE_FUNCTION(d_halvora_channels_disconnect_from_provider)
HALVORA_DOUBLE_FUNCTION(d_halvora_channels_client_dispatch)
HALVORA_DOUBLE_FUNCTION(d_halvora_channels_client_dispatch_to_endpoint)
HALVORA_DOUBLE_FUNCTION(d_halvora_channels_create_provider)
HALVORA_DOUBLE_FUNCTION(d_halvora_desktop_launch_manifest)

HALVORA_NATIVE_EXPORT void deallocate_rust_buffer(uint8_t* data, uint64_t length)
{
    NativeDouble::instance().release(data, length);
}

} // extern "C"
