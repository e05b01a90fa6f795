// Failures shared by both channel ends, with the texts applications see.
#pragma once

namespace HalvoraAdapterApi {
namespace detail {

// Raises HalvoraApiException("The runtime is not connected") for a handle of 0.
void throwIfReset(unsigned long long runtimeHandle);

// An end whose connect or open has not completed (or completed without an
// identity) has nothing to name itself with in a request.
[[noreturn]] void throwClientNotConnected();
[[noreturn]] void throwProviderNotOpen();

} // namespace detail
} // namespace HalvoraAdapterApi
