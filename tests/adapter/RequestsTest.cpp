// The adapter's bytes: request maps a runtime sends, frames at their size
// bound (a reader's refusal past it is seen by the service's tests), replies
// and large payloads kept where they lie.
#include "FakeRuntime.h"
#include "core/Events.h"
#include "core/PayloadBlock.h"
#include "wire/Frames.h"

#include <cstdint>
#include <fstream>
#include <sstream>

using namespace halvora::adapter;
using namespace halvora::adapter::testing;

namespace {

using ARequest = AdapterTest;

TEST_F(ARequest, IsAnsweredWithAClearErrorOrServedByItsKeysAlone)
{
    // With an event callback but no release callback.
    const AdapterFunction connectWithoutRelease = [](const std::uint8_t* request, std::uint64_t length) {
        return d_halvora_connect(
            request, length, [](auto...) -> std::uint8_t* { return nullptr; }, nullptr);
    };
    FakeRuntime runtime;
    const json handle = runtime.handle;
    const auto m = [](const json& map) { return json::to_msgpack(map); };
    const std::string badMsgPack = "error:the request is not valid MessagePack", port = "error:'port' must be 0";
    // clang-format off
    const json nilsAndLargest = {{"uuid", nullptr}, {"port", nullptr}, {"disable_heartbeating", nullptr},
                                 {"arguments", nullptr}, {"runtime_connect_options", INT64_MAX}};
    // clang-format on
    const struct {
        AdapterFunction function;
        Bytes request;
        std::string outcome; // its start
    } rows[] = {
        {d_halvora_channels_create_provider, {}, "error:the request is empty"},
        {d_halvora_channels_create_provider, {0x93, 1, 2, 3}, "error:the request is not a MessagePack map"},
        {d_halvora_channels_client_dispatch, {0x82, 0xa6, 'h', 'a'}, badMsgPack},
        {d_halvora_channels_client_dispatch, {0xdd, 0xff, 0xff, 0xff, 0xff}, badMsgPack}, // 4 billion entries
        {d_halvora_channels_connect_to_provider, {0xdf, 0xff, 0xff, 0xff, 0xff}, badMsgPack},
        {d_halvora_desktop_launch_manifest, {0x81, 0xdb, 0xff, 0xff, 0xff, 0xff}, badMsgPack}, // a 4 GiB string
        {d_halvora_channels_create_provider, Bytes(4096, 0x91), badMsgPack + ": it is nested too deeply"},
        {connectWithoutRelease, m({{"runtime_ptr", 1}}), "error:connecting needs both an event callback and a"},
        {connectWithoutRelease, m({{"version", "1"}}), "error:the request lacks the key 'runtime_ptr'"},
        {connectWithoutRelease, m({{"runtime_ptr", 1}, {"runtime_options", {{"port", -1}}}}), port},
        {connectWithoutRelease, m({{"runtime_ptr", 1}, {"runtime_options", {{"port", 65536}}}}), port},
        // Nil options read as absent; the largest integer an option holds is read.
        {connectWithoutRelease, m({{"runtime_ptr", 1}, {"runtime_options", nilsAndLargest}}),
         "error:connecting needs both"},
        {connectWithoutRelease, m({{"runtime_ptr", 1}, {"runtime_options", {{"disable_heartbeating", 1}}}}),
         "error:'disable_heartbeating' must be a boolean"},
        {connectWithoutRelease, m({{"runtime_ptr", 1}, {"runtime_options", {{"port", 1ull << 63}}}}),
         "error:'port' must be an integer"},
        {d_halvora_disconnect, m(json::object()), "error:the request lacks the key 'handle'"},
        {d_halvora_disconnect, m({{"handle", 0}}), "error:the runtime handle 0 is not connected"},
        {d_halvora_channels_create_provider, m({{"handle", "1"}}), "error:'handle' must be an unsigned integer"},
        // Keys are matched whole, not by their start.
        {d_halvora_channels_create_provider,
         m({{"handles", "x"}, {"handle", handle}, {"provider_namespace", 1}, {"provider_name", "x"}}),
         "text:provider:"},
        {d_halvora_channels_connect_to_provider, m({{"handle", handle}, {"provider_name", "x"}, {"wait", "yes"}}),
         "error:'wait' must be a boolean"},
        {d_halvora_channels_client_dispatch, m({{"handle", handle}, {"client_id", "c"}, {"is_null", true}}),
         "error:the request lacks the key 'topic'"},
        {d_halvora_channels_client_dispatch,
         m({{"handle", handle}, {"client_id", "c"}, {"topic", "t"}, {"is_null", false}, {"payload_json", 1}}),
         "error:'payload_json' must be a string"},
        {d_halvora_channels_client_dispatch_to_endpoint,
         m({{"handle", handle}, {"destination", "c"}, {"source", "p"}, {"topic", "t"}, {"is_null", true}}),
         "error:'destination' must be a map"},
        {d_halvora_desktop_launch_manifest, m({{"handle", handle}, {"manifest_url", "x"}, {"rvm_options", "fast"}}),
         "error:'rvm_options' must be a map"},
        {d_halvora_desktop_launch_manifest, m({{"handle", handle}, {"manifest_url", "x:"}, {"rvm_options", nullptr}}),
         "error:the manifest URL 'x:' is not supported"}};
    for (const auto& row : rows)
        EXPECT_EQ(callAdapter(row.function, row.request).substr(0, row.outcome.size()), row.outcome);

    // A result buffer given back twice, or one never handed out, is ignored.
    const NativeResult result = d_halvora_disconnect(nullptr, 0);
    deallocate_rust_buffer(result.data, result.length);
    deallocate_rust_buffer(result.data, result.length);
    std::uint8_t foreign[4] = {};
    deallocate_rust_buffer(foreign, sizeof foreign);
}

TEST(AFrame, CarriesABodyOfExactlyTheBoundAndNotOneByteMore)
{
    const auto frameOf = [](std::size_t payload) { return wire::encode(wire::event(7, Bytes(payload, 'x'))); };
    const std::size_t payload = 2 * wire::maxFrameBytes - 64 - (frameOf(wire::maxFrameBytes - 64).size() - 4);
    const Bytes frame = frameOf(payload);
    ASSERT_EQ(frame.size() - 4, wire::maxFrameBytes);
    // Read behind a small frame that arrives with its length prefix: the reader moves that prefix up.
    Bytes both = frameOf(10);
    const std::size_t split = both.size() + 4;
    both.insert(both.end(), frame.begin(), frame.end());
    wire::FrameReader reader;
    reader.append(both.data(), split);
    wire::Message message;
    ASSERT_TRUE(reader.next(message) && !reader.next(message));
    reader.append(both.data() + split, both.size() - split);
    ASSERT_TRUE(reader.next(message));
    EXPECT_EQ(message.bytes.size(), payload);
    EXPECT_THROW(frameOf(payload + 1), wire::FrameError);
}

// A reply's text is handed on where the runtime wrote it, behind its string
// header, and its buffer is given back once.
TEST(AReply, IsHandedOnInPlaceBehindItsStringHeader)
{
    static int released = 0;
    for (const std::size_t size : {1, 31, 32, 255, 256, 65535, 65536}) {
        Bytes reply = json::to_msgpack(json{{"is_error", size == 1}, {"payload_json", std::string(size, 'p')}});
        bool held = false;
        const Result result = decodeReplyMapHeld(
            reply.data(), reply.data(), reply.size(), [](std::uint8_t*) { ++released; }, held);
        ASSERT_TRUE(held) << size;
        EXPECT_EQ(result.kind, size == 1 ? Result::Kind::Error : Result::Kind::Text);
        EXPECT_EQ(result.textView(), std::string(size, 'p'));
        EXPECT_EQ(result.held->packed() + result.held->packedSize(), reply.data() + reply.size());
        EXPECT_EQ(result.held->packedSize(), size + (size < 32 ? 1 : size < 256 ? 2 : size < 65536 ? 3 : 5));
    }
    EXPECT_EQ(released, 7);
}

// A large payload gets a mapping of its own that starts on a huge-page
// boundary, is advised for huge pages, ends with its last page, and goes
// with it, leaving no address space behind.
TEST(APayloadBlock, OfTwoMebibytesOrMoreIsAHugePageAlignedMappingOfItsOwn)
{
    const auto mappingAt = [](const std::uint8_t* data) {
        const auto address = reinterpret_cast<std::uintptr_t>(data);
        std::ifstream smaps("/proc/self/smaps");
        std::string line, found;
        while (std::getline(smaps, line)) {
            std::istringstream fields(line);
            std::uintptr_t from = 0, to = 0;
            char dash = 0;
            if (fields >> std::hex >> from >> dash >> to && dash == '-')
                found = from <= address && address < to ? std::to_string(to - address) : "";
            else if (!found.empty() && line.rfind("VmFlags:", 0) == 0)
                return found + (line.find(" hg") != std::string::npos ? " huge" : "");
        }
        return std::string("unmapped");
    };
    const auto addressSpace = [] {
        std::size_t pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        return pages;
    };
    for (const std::size_t size : {PayloadBlock::mappedFrom, 3 * PayloadBlock::mappedFrom / 2 + 100}) {
        const std::size_t before = addressSpace();
        auto block = std::make_unique<PayloadBlock>(size);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block->data()) % PayloadBlock::mappedFrom, 0u);
        EXPECT_EQ(mappingAt(block->data()), std::to_string((size + 4095) / 4096 * 4096) + " huge");
        block.reset();
        EXPECT_EQ(addressSpace(), before);
    }
}

} // namespace
