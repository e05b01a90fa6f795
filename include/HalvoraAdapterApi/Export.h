// Export macro for the public classes of HalvoraAdapterApi.
#pragma once

#if defined(_WIN32)
#if defined(HALVORA_ADAPTER_API_BUILDING)
#define HALVORA_ADAPTER_API __declspec(dllexport)
#elif defined(HALVORA_ADAPTER_API_STATIC)
#define HALVORA_ADAPTER_API
#else
#define HALVORA_ADAPTER_API __declspec(dllimport)
#endif
#else
#define HALVORA_ADAPTER_API __attribute__((visibility("default")))
#endif
