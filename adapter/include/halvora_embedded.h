/* Extra entry point of the embedded native adapter, beyond the C interface
 * that every adapter exports. */
#ifndef HALVORA_EMBEDDED_H
#define HALVORA_EMBEDDED_H

/* On Windows the adapter DLL exports it and callers reach it through the
 * import library. */
#if defined(_WIN32)
#define HALVORA_EMBEDDED_API
#else
#define HALVORA_EMBEDDED_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Shuts the adapter down in order, as a runtime that goes away would: every
 * live connection receives "AdapterDisconnected" as its last event, waiting
 * calls end with an error, and the event threads are joined before this
 * returns (except the caller's own, when called from an event handler, and
 * one whose handler has not returned within two seconds).
 * Later connects start afresh. */
HALVORA_EMBEDDED_API void halvora_embedded_shutdown(void);

#ifdef __cplusplus
}
#endif

#endif
