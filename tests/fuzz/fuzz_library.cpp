// Any bytes as an event the library receives. The general decoder and the
// fast reader of the adapters' own form (where it accepts the bytes) must
// read the same message.
#include "channels/ChannelMessage.h"

#include <cstdlib>
#include <vector>

using namespace HalvoraAdapterApi::detail;

namespace {

bool same(const ChannelMessage& a, const ChannelMessage& b)
{
    return a.type == b.type && a.endpoint == b.endpoint && a.channelName == b.channelName && a.topic == b.topic &&
           a.payloadIsNull == b.payloadIsNull && !a.payload == !b.payload && (!a.payload || *a.payload == *b.payload);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::uint8_t> bytes(data, data + size); // exactly the bytes, so reads past them are caught
    const DecodedValue decoded = decodeMsgPack(bytes.data(), size);
    const ChannelMessage general = channelMessageFromMsgPack(decoded.value());
    ChannelMessage fast;
    if (readChannelEvent(bytes.data(), size, fast) && !(decoded.ok() && same(fast, general)))
        std::abort();
    return 0;
}
