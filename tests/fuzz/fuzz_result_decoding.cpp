// Adapter results as the library reads them: the first byte chooses the
// result flags (error, null, null data pointer), the rest is the buffer. The
// buffer must come back exactly once whatever it holds, and the call must end
// in a value or a HalvoraApiException, nothing else.
#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "FuzzQuiet.h"
#include "NativeDouble.h"
#include "native/Bridge.h"

#include <cstdlib>
#include <vector>

using HalvoraTest::NativeDouble;
using HalvoraTest::Result;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    HalvoraFuzz::quietLibrary();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::uint8_t flags = data[0];
    std::vector<std::uint8_t> bytes(data + 1, data + size);
    NativeDouble& native = NativeDouble::instance();
    native.reset();
    Result result = (flags & 4) != 0
                        ? Result::nullPointer(static_cast<std::uint32_t>(bytes.size()), flags & 1, flags & 2)
                        : Result::raw(std::move(bytes), flags & 1, flags & 2);
    native.script("d_halvora_channels_client_dispatch", std::move(result));

    std::shared_ptr<std::string> value;
    try {
        HalvoraAdapterApi::detail::invokeNative(d_halvora_channels_client_dispatch,
                                                HalvoraAdapterApi::detail::EncodedRequest(), value);
    } catch (const HalvoraAdapterApi::HalvoraApiException&) {
    }
    if (native.outstandingBuffers() != 0 || native.invalidReleases() != 0) {
        std::abort();
    }

    // The connect path reads its handle from a result of its own.
    HalvoraAdapterApi::detail::DecodedValue decoded = HalvoraAdapterApi::detail::decodeMsgPack(data, size);
    (void)HalvoraAdapterApi::detail::uint64Value(decoded.value());
    (void)HalvoraAdapterApi::detail::stringValue(decoded.value());
    return 0;
}
