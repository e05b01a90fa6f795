#include "native/Bridge.h"

#include "native/PayloadMemory.h"

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include <iostream>

namespace HalvoraAdapterApi {
namespace detail {

NativeResult callNative(NativeFunction function, const EncodedRequest& request)
{
    return function(request.data(), request.size());
}

NativeResult callNativeWithCallbacks(NativeConnectFunction function, const EncodedRequest& request,
                                     HalvoraEventCallback onEvent, HalvoraReleaseCallback releaseReply)
{
    return function(request.data(), request.size(), onEvent, releaseReply);
}

DecodedValue parseNativeResponse(const NativeResult& result)
{
    DecodedValue decoded = decodeMsgPack(result.data, result.length);
    if (!decoded.ok()) {
        std::cerr << "C++ ADAPTER:   Error parsing response: " << decoded.error << "\n";
    }
    return decoded;
}

void releaseNativeResult(const NativeResult& result)
{
    deallocate_rust_buffer(result.data, result.length);
}

namespace {

// Releases the buffer if reading it fails unexpectedly (out of memory), so
// that no path leaks it; the normal paths release it explicitly.
class ResultGuard {
public:
    explicit ResultGuard(const NativeResult& result) : result(result) {}
    ResultGuard(const ResultGuard&) = delete;
    ResultGuard& operator=(const ResultGuard&) = delete;
    ~ResultGuard()
    {
        if (!released) {
            releaseNativeResult(result);
        }
    }
    void release()
    {
        released = true;
        releaseNativeResult(result);
    }

private:
    const NativeResult& result;
    bool released = false;
};

} // namespace

void invokeNative(NativeFunction function, const EncodedRequest& request, std::shared_ptr<std::string>& value)
{
    const NativeResult result = callNative(function, request);
    ResultGuard guard(result);
    if (result.isError != 0) {
        std::string message = stringValue(parseNativeResponse(result).value());
        guard.release();
        throw HalvoraApiException(message);
    }
    if (result.isNull != 0) {
        guard.release();
        return;
    }
    // Read in place: the one copy of the text is the string handed to the caller.
    const DecodedValue decoded = parseNativeResponse(result);
    const msgpack::object& object = decoded.value();
    auto text = sharedText(object.type == msgpack::type::STR ? std::string_view(object.via.str.ptr, object.via.str.size)
                                                             : std::string_view(),
                           false);
    guard.release();
    value = std::move(text);
}

} // namespace detail
} // namespace HalvoraAdapterApi
