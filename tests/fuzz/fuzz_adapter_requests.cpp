// The embedded runtime's request handling: the first byte chooses the
// request, the rest is its MessagePack map. A fresh routing core per input
// has two runtimes attached (handles 1 and 2), a provider on "news" and a
// connected client; runtimes answer every event once the request has been
// served. Every request must complete exactly once.
#include "core/Requests.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

using namespace halvora::adapter;

namespace {

// Replies are held until the request has been served, as a runtime answers on its own thread.
class AnsweringConnection final : public Connection {
public:
    bool deliver(Event, ReplyHandler onReply) override
    {
        if (onReply)
            replies.push_back(std::move(onReply));
        return true;
    }
    void close(std::vector<std::uint8_t>) override {}
    void waitClosed() override {}
    bool waitClosedFor(std::chrono::milliseconds) override { return true; }

    std::vector<ReplyHandler> replies;
};

const char* const operations[] = {"create_provider", "connect_to_provider",  "disconnect_from_provider",
                                  "client_dispatch", "dispatch_to_endpoint", "no_such_request"};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    RuntimeCore core;
    const auto runtimes = {std::make_shared<AnsweringConnection>(), std::make_shared<AnsweringConnection>()};
    for (const auto& runtime : runtimes)
        core.attach(core.reserveHandle(), RuntimeIdentity{"uuid"}, runtime);
    const Result provider = core.createProvider(1, "news");
    Result client = Result::error("pending");
    core.connectToProvider(2, "news", false, {}, [&client](Result result) { client = std::move(result); });

    // Endpoint ids carry a random tag of the core that no input can know: "########" stands for it.
    std::vector<std::uint8_t> request(data + 1, data + size); // exactly the bytes, so reads past them are caught
    const std::string tag = provider.text.substr(provider.text.find(':') + 1, 8), placeholder(8, '#');
    for (auto at = request.begin();
         (at = std::search(at, request.end(), placeholder.begin(), placeholder.end())) != request.end();)
        at = std::copy(tag.begin(), tag.end(), at);

    int completions = 0;
    const RequestContext context{CallerContext{data[0] & 0x80 ? 2u : 0u}, 0}; // sometimes runtime 2's event thread
    serveRequest(core, operations[(data[0] & 0x7fu) % 6], request.empty() ? nullptr : request.data(), request.size(),
                 context, [&completions](Result) { ++completions; });
    for (const auto& runtime : runtimes)
        for (auto& reply : std::exchange(runtime->replies, {}))
            reply(Result::ofText("answer"));
    core.detachAll(false);
    if (completions != 1)
        std::abort();
    return 0;
}
