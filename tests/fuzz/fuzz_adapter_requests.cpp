// The embedded runtime's request handling: the first byte chooses the
// request, the rest is its MessagePack map. A fresh routing core per input
// has two runtimes attached (handles 1 and 2), a provider on "news" and a
// connected client; runtimes answer every event once the request has been
// served. Every request must complete exactly once, and a connect left
// waiting for a provider must complete when the core shuts down.
//
// Not reached here: launching (it starts processes; its manifest and URL
// readers are fuzzed directly instead).
#include "core/ManifestLauncher.h"
#include "core/RequestMap.h"
#include "core/Requests.h"
#include "core/RuntimeCore.h"

#include <msgpack.hpp>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace halvora::adapter;

namespace {

// Replies are held until answerAll, as a runtime answers on its own thread.
class AnsweringConnection final : public Connection {
public:
    bool deliver(Event, ReplyHandler onReply) override
    {
        if (onReply) {
            replies_.push_back(std::move(onReply));
        }
        return true;
    }
    void answerAll()
    {
        for (auto& reply : std::exchange(replies_, {})) {
            reply(Result::ofText("answer"));
        }
    }
    void close(std::vector<std::uint8_t>) override {}
    void waitClosed() override {}
    bool waitClosedFor(std::chrono::milliseconds) override { return true; }

private:
    std::vector<ReplyHandler> replies_;
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

void serve(RuntimeCore& core, std::uint8_t choice, const std::uint8_t* data, std::size_t size, Completion done)
{
    const RequestContext context{CallerContext{choice & 0x80 ? 2u : 0u}, 0}; // sometimes from runtime 2's event thread
    switch ((choice & 0x7f) % 9) {
    case 0:
        serveCreateProvider(core, data, size, context, std::move(done));
        return;
    case 1:
        serveConnectToProvider(core, data, size, context, std::move(done));
        return;
    case 2:
        serveDisconnectFromProvider(core, data, size, context, std::move(done));
        return;
    case 3:
        serveClientDispatch(core, data, size, context, std::move(done));
        return;
    case 4:
        serveDispatchToEndpoint(core, data, size, context, std::move(done));
        return;
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
    done(Result::null());
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
    const std::vector<std::shared_ptr<AnsweringConnection>> runtimes = {std::make_shared<AnsweringConnection>(),
                                                                        std::make_shared<AnsweringConnection>()};
    core.attach(first, RuntimeIdentity{"uuid-1"}, runtimes[0]);
    core.attach(second, RuntimeIdentity{""}, runtimes[1]);
    const Result provider = core.createProvider(first, "news");
    Result client;
    core.connectToProvider(second, "news", false, {}, [&client](Result result) { client = std::move(result); });
    if (provider.isError() || client.isError()) {
        std::abort();
    }
    // A copy of exactly the request's bytes, so that any read past the end is caught.
    const std::vector<std::uint8_t> request =
        (data[0] & 0x7f) % 9 <= 6 ? withKnownIds(data + 1, size - 1, KnownIds{provider.text, client.text})
                                  : std::vector<std::uint8_t>(data + 1, data + size);
    int completions = 0;
    serve(core, data[0], request.empty() ? nullptr : request.data(), request.size(),
          [&completions](Result) { ++completions; });
    for (const auto& runtime : runtimes) {
        runtime->answerAll();
    }
    core.detachAll(false);
    if (completions != 1) {
        std::abort();
    }
    return 0;
}
