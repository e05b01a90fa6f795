#include "runtime/EventIntake.h"

#include <HalvoraAdapterApi/Runtime.h>

#include "channels/ChannelMessage.h"
#include "detail/QueuedWork.h"
#include "detail/Reaper.h"
#include "native/MsgPack.h"
#include "native/PayloadMemory.h"
#include "runtime/LiveRuntimes.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <iostream>
#include <utility>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

constexpr std::size_t lengthPrefixSize = 8;

// Events in the adapters' own form are read straight from their bytes; any
// other goes through the general decoder, which reports what it cannot read.
bool readEvent(const std::uint8_t* data, std::uint64_t length, ChannelMessage& message)
{
    if (readChannelEvent(data, length, message)) {
        return true;
    }
    // Read in place: the event's bytes outlive this call, and the message
    // copies what it keeps.
    const DecodedValue decoded = decodeMsgPack(data, length);
    if (!decoded.ok()) {
        std::cerr << "C++ ADAPTER:   Error parsing response: " << decoded.error << "\n";
        return false;
    }
    message = channelMessageFromMsgPack(decoded.value());
    return true;
}

std::uint8_t* handleEvent(const std::uint8_t* data, std::uint64_t length, Runtime& runtime, std::uint64_t context)
{
    ChannelMessage message;
    if (!readEvent(data, length, message)) {
        return nullptr;
    }
    // Also drops late events of a connection that a newer one replaced.
    std::shared_ptr<Channels> channels;
    if (!RuntimeAccess::acceptsEventsOf(runtime, context, channels)) {
        return nullptr;
    }
    if (message.type == EventType::AdapterDisconnected) {
        runtime.registerDisconnection();
        return makeCallbackReply(nullptr, false);
    }
    if (!channels) {
        return makeCallbackReply(nullptr, false);
    }
    std::shared_ptr<std::string> result;
    try {
        const HandlerInvocation invocation;
        result = channels->onRuntimeEvent(message);
    } catch (const std::exception& error) {
        return makeCallbackReply(std::make_shared<std::string>(error.what()), true);
    } catch (...) {
        // The sender must hear of the failure, not take it for an answer without value.
        return makeCallbackReply(
            std::make_shared<std::string>("A topic handler threw an exception that is not a std::exception"), true);
    }
    return makeCallbackReply(result, false);
}

} // namespace

namespace {

// The reply map is written twice: once to learn its size, then straight into
// the reply buffer, so the payload is copied exactly once.
struct ByteCounter {
    std::size_t size = 0;
    void write(const char*, std::size_t length) { size += length; }
};

struct ByteWriter {
    std::uint8_t* next;
    void write(const char* bytes, std::size_t length)
    {
        // An empty payload comes as a null pointer, which memcpy must not see.
        if (length != 0) {
            std::memcpy(next, bytes, length);
            next += length;
        }
    }
};

template <typename Stream>
void writeReplyMap(Stream& stream, std::string_view payload, bool isNull, bool isError)
{
    msgpack::packer<Stream> packer(stream);
    packer.pack_map(3);
    packer.pack_str(8);
    packer.pack_str_body("is_error", 8);
    isError ? packer.pack_true() : packer.pack_false();
    packer.pack_str(7);
    packer.pack_str_body("is_null", 7);
    isNull ? packer.pack_true() : packer.pack_false();
    packer.pack_str(12);
    packer.pack_str_body("payload_json", 12);
    const std::uint32_t length = checkedLength(payload.size());
    packer.pack_str(length);
    packer.pack_str_body(payload.data(), length);
}

// Reply buffers carry their capacity in front of what the adapter sees, so
// that a released one can be written again. The last one released (up to
// keptReplyLimit) is kept for the next reply: a large reply then does not go
// back to the allocator on every event, which hands freed blocks of that size
// to the system and takes them back page by page on the next one. The adapter
// may give a reply back on another thread than the one that made it (it hands
// the reply on to the caller as is), so the kept one is the process's, not a
// thread's.
constexpr std::size_t capacityPrefixSize = 8;
// A megabyte of payload and the reply map around it.
constexpr std::size_t keptReplyLimit = (std::size_t{1} << 20) + 4096;

// Constant-initialised and trivially destroyed, so a reply released while
// the process exits finds it intact; the block it holds then is reachable.
std::atomic<std::uint8_t*> keptReply{nullptr};

std::size_t capacityOf(const std::uint8_t* block)
{
    std::size_t capacity = 0;
    std::memcpy(&capacity, block, sizeof capacity);
    return capacity;
}

// A block of at least `size` bytes after its capacity.
std::uint8_t* replyBlock(std::size_t size)
{
    std::uint8_t* kept = keptReply.exchange(nullptr);
    if (kept != nullptr && capacityOf(kept) >= size) {
        return kept;
    }
    delete[] kept;
    auto* block = new std::uint8_t[capacityPrefixSize + size];
    adviseHugePages(block, capacityPrefixSize + size);
    std::memcpy(block, &size, sizeof size);
    return block;
}

} // namespace

std::uint8_t* makeCallbackReply(const std::shared_ptr<std::string>& result, bool isError)
{
    const std::string_view payload = result ? std::string_view(*result) : std::string_view();
    ByteCounter counter;
    writeReplyMap(counter, payload, !result, isError);

    const std::uint64_t size = counter.size;
    auto* reply = replyBlock(lengthPrefixSize + counter.size) + capacityPrefixSize;
    for (std::size_t byte = 0; byte < lengthPrefixSize; ++byte) {
        reply[byte] = static_cast<std::uint8_t>(size >> (8 * byte));
    }
    ByteWriter writer{reply + lengthPrefixSize};
    writeReplyMap(writer, payload, !result, isError);
    return reply;
}

extern "C" std::uint8_t* handleRuntimeEvent(const std::uint8_t* data, std::uint64_t length, void* runtime)
{
    // Nothing may unwind into the adapter, whatever a handler throws.
    try {
        // A runtime dropped here, its last reference included, is torn down
        // by the reaper: its teardown waits for this very thread.
        const LibraryThread marked;
        // A runtime that has been destroyed, or a context never handed out, is
        // not touched; the strong reference keeps a live one alive until we return.
        const std::shared_ptr<Runtime> live = LiveRuntimes::find(runtime);
        if (!live) {
            return nullptr;
        }
        return handleEvent(data, length, *live, reinterpret_cast<std::uintptr_t>(runtime));
    } catch (...) {
        std::cerr << "An exception was thrown in C++ during the callback handler";
        return nullptr;
    }
}

extern "C" void releaseReply(std::uint8_t* reply)
{
    if (reply == nullptr) {
        return;
    }
    std::uint8_t* block = reply - capacityPrefixSize;
    if (capacityOf(block) <= keptReplyLimit) {
        block = keptReply.exchange(block);
    }
    delete[] block;
}

} // namespace detail
} // namespace HalvoraAdapterApi
