// Channel event decoding on its own: any bytes, decoded both copying and
// referencing the input, read into a channel message. Reading must never
// fail, and both decodings must read the same message.
#include "FuzzQuiet.h"
#include "channels/ChannelMessage.h"
#include "native/MsgPack.h"

#include <cstdlib>
#include <vector>

using namespace HalvoraAdapterApi::detail;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    HalvoraFuzz::quietLibrary();
    return 0;
}

namespace {

// The payload is shared between handlers, so it is compared by content.
bool samePayload(const ChannelMessage& a, const ChannelMessage& b)
{
    if (!a.payload || !b.payload) {
        return !a.payload && !b.payload;
    }
    return *a.payload == *b.payload;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly `size` bytes, so that any read past the end is caught.
    const std::vector<std::uint8_t> input(data, data + size);
    const DecodedValue copied = decodeMsgPack(input.data(), input.size());
    const DecodedValue referenced = decodeMsgPack(input.data(), input.size(), true);
    if (copied.ok() != referenced.ok()) {
        std::abort();
    }
    const ChannelMessage a = channelMessageFromMsgPack(copied.value());
    const ChannelMessage b = channelMessageFromMsgPack(referenced.value());
    if (a.type != b.type || a.endpoint != b.endpoint || a.channelName != b.channelName || a.topic != b.topic ||
        !samePayload(a, b) || a.payloadIsNull != b.payloadIsNull) {
        std::abort();
    }
    (void)std::hash<HalvoraAdapterApi::EndpointId>()(a.endpoint);
    return 0;
}
