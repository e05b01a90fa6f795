// The only route to the native adapter: requests are serialised, passed to one
// adapter function, and its result decoded and handed back to the adapter.
#pragma once

#include "native/MsgPack.h"
#include "native/NativeAdapter.h"

#include <memory>
#include <string>

namespace HalvoraAdapterApi {
namespace detail {

using NativeFunction = NativeResult (*)(const std::uint8_t*, std::uint64_t);
using NativeConnectFunction = NativeResult (*)(const std::uint8_t*, std::uint64_t, HalvoraEventCallback,
                                               HalvoraReleaseCallback);

// Calls the adapter and returns its result undecoded; the caller releases it
// with releaseNativeResult().
NativeResult callNative(NativeFunction function, const EncodedRequest& request);
NativeResult callNativeWithCallbacks(NativeConnectFunction function, const EncodedRequest& request,
                                     HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply);

// Decodes the result's bytes without releasing them. A decoder failure is
// written to std::cerr and reported through DecodedValue::error. Strings
// point into the result, which must outlive the decoded value.
DecodedValue parseNativeResponse(const NativeResult& result);

// Gives a result buffer back to the adapter (also when its data is null).
void releaseNativeResult(const NativeResult& result);

// Calls the adapter and reads a string-or-null result into `value`; an error
// result raises HalvoraApiException with the adapter's message. The buffer is
// released exactly once on every path.
void invokeNative(NativeFunction function, const EncodedRequest& request, std::shared_ptr<std::string>& value);

template <typename Record>
void invokeNative(NativeFunction function, const Record& record, std::shared_ptr<std::string>& value)
{
    invokeNative(function, encodeRequest(record), value);
}

} // namespace detail
} // namespace HalvoraAdapterApi
