#include "runtime/EventIntake.h"

#include <HalvoraAdapterApi/Runtime.h>

#include "channels/ChannelMessage.h"
#include "native/MsgPack.h"
#include "runtime/LiveRuntimes.h"

#include <cstring>
#include <exception>
#include <iostream>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

constexpr std::size_t lengthPrefixSize = 8;

std::uint8_t* handleEvent(const std::uint8_t* data, std::uint64_t length, Runtime& runtime)
{
    const DecodedValue decoded = decodeMsgPack(data, length);
    if (!decoded.ok()) {
        std::cerr << "C++ ADAPTER:   Error parsing response: " << decoded.error << "\n";
        return nullptr;
    }
    const ChannelMessage message = channelMessageFromMsgPack(decoded.value());
    if (!runtime.isConnected()) {
        return nullptr;
    }
    if (message.type == "AdapterDisconnected") {
        runtime.registerDisconnection();
        return makeCallbackReply(nullptr, false);
    }
    std::shared_ptr<std::string> result;
    try {
        result = runtime.getChannels()->onRuntimeEvent(message);
    } catch (const std::exception& error) {
        return makeCallbackReply(std::make_shared<std::string>(error.what()), true);
    }
    return makeCallbackReply(result, false);
}

} // namespace

std::uint8_t* makeCallbackReply(const std::shared_ptr<std::string>& result, bool isError)
{
    msgpack::sbuffer buffer;
    Packer packer(buffer);
    packMapHeader(packer, 3);
    packString(packer, "is_error");
    packBool(packer, isError);
    packString(packer, "is_null");
    packBool(packer, !result);
    packString(packer, "payload_json");
    packString(packer, result ? std::string_view(*result) : std::string_view());

    const std::uint64_t size = buffer.size();
    auto* reply = new std::uint8_t[lengthPrefixSize + buffer.size()];
    for (std::size_t byte = 0; byte < lengthPrefixSize; ++byte) {
        reply[byte] = static_cast<std::uint8_t>(size >> (8 * byte));
    }
    std::memcpy(reply + lengthPrefixSize, buffer.data(), buffer.size());
    return reply;
}

extern "C" std::uint8_t* handleRuntimeEvent(const std::uint8_t* data, std::uint64_t length, void* runtime)
{
    // Nothing may unwind into the adapter, whatever a handler throws.
    try {
        // A runtime that has been destroyed, or was never handed out, is not
        // touched; the strong reference keeps a live one alive until we return.
        const std::shared_ptr<Runtime> live = LiveRuntimes::find(runtime);
        if (!live) {
            return nullptr;
        }
        return handleEvent(data, length, *live);
    } catch (...) {
        std::cerr << "An exception was thrown in C++ during the callback handler";
        return nullptr;
    }
}

extern "C" void releaseReply(std::uint8_t* reply)
{
    delete[] reply;
}

} // namespace detail
} // namespace HalvoraAdapterApi
