// Reaches the registry's runtime-only members, as the runtime does.
#pragma once

#include <HalvoraAdapterApi/Channels.h>

#include "channels/ChannelMessage.h"
#include "native/MsgPack.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace HalvoraAdapterApi {
namespace detail {

struct ChannelsAccess {
    static std::shared_ptr<Channels> create(unsigned long long handle, FuturesManager& futuresManager,
                                            TaskQueue& taskQueue)
    {
        return std::shared_ptr<Channels>(new Channels(handle, futuresManager, taskQueue));
    }
    static void reset(Channels& channels) { channels.reset(); }
    // Decodes an event's bytes the way the runtime's event intake does, then routes it.
    static std::shared_ptr<std::string> deliver(Channels& channels, const std::vector<std::uint8_t>& event)
    {
        DecodedValue decoded = decodeMsgPack(event.data(), event.size());
        return channels.onRuntimeEvent(channelMessageFromMsgPack(decoded.value()));
    }
};

} // namespace detail
} // namespace HalvoraAdapterApi
