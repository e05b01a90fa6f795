// The embedded runtime's request handling: the first byte chooses the
// request, the rest is its MessagePack map. A fresh routing core per input
// has two runtimes attached (handles 1 and 2), a provider on "news" and a
// connected client; runtimes answer every event at once. Every request must
// end in a result, never in an exception other than RequestError's result.
//
// Not reached here: launching (it starts processes; its manifest and URL
// readers are fuzzed directly instead) and waiting connects to a channel
// that has no provider (they wait, by design, until one opens). The
// cross-process transport's frame decoder gets a target once it exists.
#include "core/ManifestLauncher.h"
#include "core/RequestMap.h"
#include "core/Requests.h"
#include "core/RuntimeCore.h"

#include <msgpack.hpp>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace halvora::adapter;

namespace {

class AnsweringConnection final : public Connection {
public:
    bool deliver(std::vector<std::uint8_t>, ReplyHandler onReply) override
    {
        if (onReply) {
            onReply(Result::ofText("answer"));
        }
        return true;
    }
    void close(std::vector<std::uint8_t>) override {}
    void waitClosed() override {}
    bool waitClosedFor(std::chrono::milliseconds) override { return true; }
};

// Endpoint ids carry a random tag of the core, which no input can know; the
// texts "@provider" and "@client" anywhere in a request stand for the ids of
// the open provider and the connected client.
struct KnownIds {
    std::string provider;
    std::string client;
};

void substitute(msgpack::object& value, const KnownIds& ids)
{
    if (value.type == msgpack::type::STR) {
        const std::string text(value.via.str.ptr, value.via.str.size);
        const std::string* id = text == "@provider" ? &ids.provider : text == "@client" ? &ids.client : nullptr;
        if (id != nullptr) {
            value.via.str.ptr = id->data();
            value.via.str.size = static_cast<std::uint32_t>(id->size());
        }
    } else if (value.type == msgpack::type::ARRAY) {
        for (std::uint32_t i = 0; i < value.via.array.size; ++i) {
            substitute(value.via.array.ptr[i], ids);
        }
    } else if (value.type == msgpack::type::MAP) {
        for (std::uint32_t i = 0; i < value.via.map.size; ++i) {
            substitute(value.via.map.ptr[i].val, ids);
        }
    }
}

// The request with the ids put in, or the bytes unchanged when they are not
// one MessagePack value (the core must refuse those itself).
std::vector<std::uint8_t> withKnownIds(const std::uint8_t* data, std::size_t size, const KnownIds& ids)
{
    std::vector<std::uint8_t> bytes(data, data + size);
    try {
        msgpack::object_handle handle = unpackBounded(data, size);
        msgpack::object value = handle.get();
        substitute(value, ids);
        msgpack::sbuffer buffer;
        msgpack::pack(buffer, value);
        bytes.assign(buffer.data(), buffer.data() + buffer.size());
    } catch (const std::exception&) {
    }
    return bytes;
}

// True for a connect that would wait for a provider nobody will open.
bool waitsForever(const std::uint8_t* data, std::size_t size)
{
    try {
        const RequestMap request(data, size);
        return request.requireBool("wait") && request.requireString("provider_name") != "news";
    } catch (const std::exception&) {
        return false;
    }
}

void serve(RuntimeCore& core, std::uint8_t choice, const std::uint8_t* data, std::size_t size)
{
    const CallerContext caller{choice & 0x80 ? 2u : 0u}; // sometimes made from runtime 2's event thread
    switch ((choice & 0x7f) % 9) {
    case 0:
        serveCreateProvider(core, data, size);
        break;
    case 1:
        if (!waitsForever(data, size)) {
            serveConnectToProvider(core, data, size, caller);
        }
        break;
    case 2:
        serveDisconnectFromProvider(core, data, size);
        break;
    case 3:
        serveClientDispatch(core, data, size, caller);
        break;
    case 4:
        serveDispatchToEndpoint(core, data, size, caller);
        break;
    case 5:
        try {
            readConnectRequest(data, size);
        } catch (const RequestError&) {
        }
        break;
    case 6:
        try {
            core.detach(readDisconnectRequest(data, size));
        } catch (const RequestError&) {
        }
        break;
    case 7:
        try {
            parseManifest(std::string(reinterpret_cast<const char*>(data), size));
        } catch (const std::runtime_error&) {
        }
        break;
    default:
        try {
            pathFromFileUrl(std::string(reinterpret_cast<const char*>(data), size));
        } catch (const std::runtime_error&) {
        }
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    RuntimeCore core;
    const std::uint64_t first = core.reserveHandle();
    const std::uint64_t second = core.reserveHandle();
    core.attach(first, RuntimeIdentity{"uuid-1"}, std::make_shared<AnsweringConnection>());
    core.attach(second, RuntimeIdentity{""}, std::make_shared<AnsweringConnection>());
    const Result provider = core.createProvider(first, "news");
    const Result client = core.connectToProvider(second, "news", false, {});
    if (provider.isError() || client.isError()) {
        std::abort();
    }
    // A copy of exactly the request's bytes, so that any read past the end is caught.
    const std::vector<std::uint8_t> request =
        (data[0] & 0x7f) % 9 <= 6 ? withKnownIds(data + 1, size - 1, KnownIds{provider.text, client.text})
                                  : std::vector<std::uint8_t>(data + 1, data + size);
    serve(core, data[0], request.empty() ? nullptr : request.data(), request.size());
    core.detachAll(false);
    return 0;
}
