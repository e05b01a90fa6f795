// The shared library on the embedded runtime: client -> provider -> client
// round trips by payload size, and the cost of connecting.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <halvora_embedded.h>

#include <benchmark/benchmark.h>

#include <future>
#include <memory>
#include <string>
#include <vector>

using namespace HalvoraAdapterApi;

namespace {

// Two runtimes, as two applications would be: a provider whose "echo" topic
// answers with the very payload it was given, and a connected client.
class EmbeddedSession {
public:
    EmbeddedSession()
    {
        providerRuntime = factory.getRuntimeInstance(RuntimeOptions("bench-provider", "stable"));
        providerRuntime->connectAsync().get();
        provider = providerRuntime->getChannels()->createProvider("bench");
        provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
        provider->openAsync().get();

        clientRuntime = factory.getRuntimeInstance(RuntimeOptions("bench-client", "stable"));
        clientRuntime->connectAsync().get();
        client = clientRuntime->getChannels()->createClient("bench");
        client->connectAsync(false).get();
    }
    ~EmbeddedSession()
    {
        clientRuntime->disconnectAsync().get();
        providerRuntime->disconnectAsync().get();
        halvora_embedded_shutdown();
    }

    RuntimeFactory factory;
    std::shared_ptr<Runtime> providerRuntime;
    std::shared_ptr<Runtime> clientRuntime;
    std::shared_ptr<ChannelProvider> provider;
    std::shared_ptr<ChannelClient> client;
};

EmbeddedSession& session()
{
    static EmbeddedSession instance;
    return instance;
}

// A JSON string of exactly `size` bytes.
std::string payloadOf(std::size_t size)
{
    std::string text(size, 'x');
    text.front() = '"';
    text.back() = '"';
    return text;
}

void RoundTrip(benchmark::State& state)
{
    const std::shared_ptr<ChannelClient>& client = session().client;
    const std::string payload = payloadOf(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        std::shared_ptr<std::string> reply = client->dispatchAsync("echo", payload).get();
        if (!reply || reply->size() != payload.size()) {
            state.SkipWithError("the echo came back wrong");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(RoundTrip)->Arg(16)->Arg(1024)->Arg(64 * 1024)->Arg(1024 * 1024)->Arg(16 * 1024 * 1024)->UseRealTime();

constexpr std::size_t kInFlight = 16;

// kInFlight round trips queued before the first is waited for; the time is
// reported per round trip.
void RoundTrip_Pipelined(benchmark::State& state)
{
    const std::shared_ptr<ChannelClient>& client = session().client;
    const std::string payload = payloadOf(static_cast<std::size_t>(state.range(0)));
    std::vector<std::shared_future<std::shared_ptr<std::string>>> futures;
    futures.reserve(kInFlight);
    for (auto _ : state) {
        futures.clear();
        for (std::size_t i = 0; i < kInFlight; ++i) {
            futures.push_back(client->dispatchAsync("echo", payload));
        }
        for (const auto& future : futures) {
            if (future.get()->size() != payload.size()) {
                state.SkipWithError("the echo came back wrong");
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kInFlight));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInFlight) * state.range(0));
}
BENCHMARK(RoundTrip_Pipelined)
    ->Arg(16)
    ->Arg(1024)
    ->Arg(64 * 1024)
    ->Arg(1024 * 1024)
    ->Arg(16 * 1024 * 1024)
    ->UseRealTime();

void Runtime_ConnectDisconnect(benchmark::State& state)
{
    session();
    RuntimeFactory factory;
    std::shared_ptr<Runtime> runtime = factory.getRuntimeInstance(RuntimeOptions("bench-connect", "stable"));
    for (auto _ : state) {
        runtime->connectAsync().get();
        runtime->disconnectAsync().get();
    }
}
BENCHMARK(Runtime_ConnectDisconnect)->UseRealTime()->Unit(benchmark::kMicrosecond);

void Channel_ConnectDisconnect(benchmark::State& state)
{
    std::shared_ptr<ChannelClient> client = session().clientRuntime->getChannels()->createClient("bench");
    for (auto _ : state) {
        client->connectAsync(false).get();
        client->disconnectAsync().get();
    }
}
BENCHMARK(Channel_ConnectDisconnect)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
