#include "channels/ChannelErrors.h"

#include <HalvoraAdapterApi/HalvoraApiException.h>

namespace HalvoraAdapterApi {
namespace detail {

void throwIfReset(unsigned long long runtimeHandle)
{
    if (runtimeHandle == 0) {
        throw HalvoraApiException("The runtime is not connected");
    }
}

void throwClientNotConnected()
{
    throw HalvoraApiException("The channel is not connected");
}

void throwProviderNotOpen()
{
    throw HalvoraApiException("The channel provider is not open");
}

} // namespace detail
} // namespace HalvoraAdapterApi
