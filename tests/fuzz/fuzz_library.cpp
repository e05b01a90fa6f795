// The library's readers of adapter input. The first byte chooses what the rest is:
//   even: an adapter result (next byte: error, null and null-data flags): it ends in a value or a
//         HalvoraApiException and its buffer comes back exactly once (checked at the next rebuild);
//   odd:  event bytes, decoded copying and referencing (both must read the same message), then
//         delivered to a connected runtime.
// The runtime has a client and a provider on "news" whose handlers answer, throw and re-enter
// the library. Every reply must be a well-formed length-prefixed map; after an input that
// disconnected it, the world is rebuilt and every buffer of the old one must be back.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "NativeDouble.h"
#include "channels/ChannelMessage.h"
#include "native/Bridge.h"
#include "runtime/DebugOutput.h"

#include <cstdlib>
#include <iostream>

using namespace HalvoraAdapterApi;
using HalvoraTest::NativeDouble;
using HalvoraTest::Result;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Members in the order they are let go when the world is rebuilt.
struct World {
    std::shared_ptr<ChannelClient> client;
    std::shared_ptr<ChannelProvider> provider;
    std::shared_ptr<Runtime> runtime;
    std::unique_ptr<RuntimeFactory> factory;

    void rebuild()
    {
        NativeDouble& native = NativeDouble::instance();
        *this = World(); // the runtime joins its worker, so its work has given back its buffers
        check(native.outstandingBuffers() == 0 && native.invalidReleases() == 0);
        native.reset();
        factory = std::make_unique<RuntimeFactory>();
        runtime = factory->getRuntimeInstance(RuntimeOptions("fuzz-app", "stable"));
        runtime->connectAsync().get();
        native.script("d_halvora_channels_create_provider", Result::text("provider-1"));
        provider = runtime->getChannels()->createProvider("news");
        provider->openAsync().get();
        native.script("d_halvora_channels_connect_to_provider", Result::text("client-1"));
        client = runtime->getChannels()->createClient("news");
        client->connectAsync(false).get();
        std::weak_ptr<Runtime> weak = runtime;
        for (MessageChannelClient* end : std::initializer_list<MessageChannelClient*>{client.get(), provider.get()}) {
            end->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
            end->registerTopic("throw", [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> {
                throw std::runtime_error("handler failed");
            });
            end->registerTopic("reenter", [weak](std::shared_ptr<std::string> payload, EndpointId) {
                if (auto live = weak.lock()) // a new end and a queued dispatch, from the adapter's thread
                    live->getChannels()->createClient("news")->dispatchAsync("echo", payload ? *payload : "");
                return std::make_shared<std::string>("reentered");
            });
        }
        provider->subscribeClientDisconnected([](const EndpointId& endpoint) {
            if (endpoint.name == "throw")
                throw std::runtime_error("subscriber failed");
        });
    }

    void fire(const std::vector<std::uint8_t>& event)
    {
        if (!runtime || !runtime->isConnected())
            rebuild();
        const HalvoraTest::Reply reply = NativeDouble::instance().fireEvent(event);
        check(!reply.returned ||
              (reply.declaredLength == reply.bytes.size() && reply.map.size() == 3 && reply.map.contains("is_error") &&
               reply.map.contains("is_null") && reply.map.contains("payload_json")));
        check(NativeDouble::instance().invalidReleases() == 0);
    }
};

void readResult(const std::vector<std::uint8_t>& input)
{
    const std::uint8_t flags = input.empty() ? 0 : input[0];
    std::vector<std::uint8_t> bytes(input.begin() + (input.empty() ? 0 : 1), input.end());
    NativeDouble::instance().script(
        "d_halvora_desktop_launch_manifest",
        (flags & 4) != 0 ? Result::nullPointer(static_cast<std::uint32_t>(bytes.size()), flags & 1, flags & 2)
                         : Result::raw(std::move(bytes), flags & 1, flags & 2));
    std::shared_ptr<std::string> value;
    try {
        detail::invokeNative(d_halvora_desktop_launch_manifest, detail::EncodedRequest(), value);
    } catch (const HalvoraApiException&) {
    }
    // A buffer never given back stays live in the double: the next rebuild finds it.
    check(NativeDouble::instance().invalidReleases() == 0);
}

void compareDecodings(const std::vector<std::uint8_t>& input)
{
    const detail::DecodedValue copied = detail::decodeMsgPack(input.data(), input.size());
    const detail::DecodedValue referenced = detail::decodeMsgPack(input.data(), input.size(), true);
    check(copied.ok() == referenced.ok());
    const detail::ChannelMessage a = detail::channelMessageFromMsgPack(copied.value());
    const detail::ChannelMessage b = detail::channelMessageFromMsgPack(referenced.value());
    check(a.type == b.type && a.endpoint == b.endpoint && a.channelName == b.channelName && a.topic == b.topic &&
          a.payloadIsNull == b.payloadIsNull && !a.payload == !b.payload && (!a.payload || *a.payload == *b.payload));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::cerr.rdbuf(nullptr); // the library reports every malformed input there
    detail::setDebugOutputSink([](const std::wstring&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static World* world = new World(); // lives until exit; never torn down mid-run
    if (size == 0)
        return 0;
    const std::vector<std::uint8_t> rest(data + 1, data + size); // exactly the bytes, so reads past them are caught
    if (data[0] % 2 == 0) {
        readResult(rest);
    } else {
        compareDecodings(rest);
        world->fire(rest);
    }
    return 0;
}
