// C interface of the native adapter library (libhalvora_adapter_x64).
// Every adapter we link against, the embedded runtime, the cross-process
// transport and the test double, exports exactly these symbols.
#pragma once

#include <stdint.h> // NOLINT(modernize-deprecated-headers): the interface is C

#if defined(_WIN32)
#define HALVORA_NATIVE_EXPORT __declspec(dllexport)
#else
#define HALVORA_NATIVE_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Result of every adapter call. `data` holds one MessagePack value owned by
// the adapter until deallocate_rust_buffer() is called with it.
typedef struct NativeResult {
    uint8_t* data;
    uint32_t length;
    uint8_t isError; // data holds a MessagePack string with the message
    uint8_t isNull;  // success without a value; data is not decoded
} NativeResult;

// Event callback: one MessagePack event in, a length-prefixed reply buffer
// (8-byte little-endian length, then a MessagePack map) or null out.
typedef uint8_t* (*HalvoraEventCallback)(const uint8_t* data, uint64_t length, void* runtime);
// Gives a reply buffer returned by the event callback back to its owner.
typedef void (*HalvoraReleaseCallback)(uint8_t* reply);

// Adapter functions. The request is a MessagePack map (null and 0 for the
// MessagePack nil request); the adapter must not keep the pointer.
NativeResult d_halvora_connect(const uint8_t* request, uint64_t length, HalvoraEventCallback onEvent,
                               HalvoraReleaseCallback releaseReply);
NativeResult d_halvora_disconnect(const uint8_t* request, uint64_t length);
NativeResult d_halvora_channels_connect_to_provider(const uint8_t* request, uint64_t length);
NativeResult d_halvora_channels_disconnect_from_provider(const uint8_t* request, uint64_t length);
NativeResult d_halvora_channels_client_dispatch(const uint8_t* request, uint64_t length);
NativeResult d_halvora_channels_client_dispatch_to_endpoint(const uint8_t* request, uint64_t length);
NativeResult d_halvora_channels_create_provider(const uint8_t* request, uint64_t length);
NativeResult d_halvora_desktop_launch_manifest(const uint8_t* request, uint64_t length);

// Frees a result buffer; `length` is the result's 32-bit length, zero-extended.
void deallocate_rust_buffer(uint8_t* data, uint64_t length);

#ifdef __cplusplus
}

static_assert(sizeof(NativeResult) == 16, "NativeResult must keep the adapter's 16-byte layout");
#endif
