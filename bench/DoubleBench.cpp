// The library against the native test double, next to the floors that no
// design of it could go below: the native call itself, one hand-off to a
// worker thread, and reading an event and writing its reply.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include "NativeDouble.h"
#include "runtime/DebugOutput.h"

#include <benchmark/benchmark.h>
#include <msgpack.hpp>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace HalvoraAdapterApi;
using HalvoraTest::NativeDouble;

namespace {

// The double's calls answered with a copy of their request, as cheaply as an
// adapter could; while held, they wait (the caller's thread blocks in the call).
std::atomic<bool> echoesHeld{false};
std::mutex echoGateMutex;
std::condition_variable echoGateOpened;

NativeResult echo(const std::uint8_t* request, std::uint64_t length)
{
    if (echoesHeld.load()) {
        std::unique_lock<std::mutex> lock(echoGateMutex);
        echoGateOpened.wait(lock, [] { return !echoesHeld.load(); });
    }
    NativeResult echoed{};
    echoed.length = static_cast<std::uint32_t>(length);
    echoed.data = new std::uint8_t[length == 0 ? 1 : length];
    std::memcpy(echoed.data, request, length);
    return echoed;
}

void holdEchoes(bool held)
{
    {
        std::lock_guard<std::mutex> lock(echoGateMutex);
        echoesHeld.store(held);
    }
    echoGateOpened.notify_all();
}

const std::string kTopic = "quote";
const std::string kPayload = "{\"symbol\":\"ABC\",\"bid\":101.25}";
const std::string kClientId = "client:bench:1";

// A connected runtime with one connected client and one provider with a
// topic handler, on the double; echo mode on once they are set up.
class DoubleSession {
public:
    DoubleSession()
    {
        NativeDouble::instance().reset();
        detail::setDebugOutputSink([](const std::wstring&) {});
        runtime = factory.getRuntimeInstance(RuntimeOptions("bench-app", "stable"));
        runtime->connectAsync().get();
        NativeDouble::instance().script("d_halvora_channels_connect_to_provider", HalvoraTest::Result::text(kClientId));
        NativeDouble::instance().script("d_halvora_channels_create_provider",
                                        HalvoraTest::Result::text("provider:bench:1"));
        client = runtime->getChannels()->createClient("bench");
        client->connectAsync(false).get();
        provider = runtime->getChannels()->createProvider("bench");
        provider->registerTopic(kTopic, [this](std::shared_ptr<std::string>, EndpointId) { return reply; });
        provider->openAsync().get();
        connection = *NativeDouble::instance().lastConnection();
        NativeDouble::instance().setBypass(echo);
    }
    ~DoubleSession()
    {
        NativeDouble::instance().setBypass(nullptr);
        runtime->disconnectAsync().get();
        detail::setDebugOutputSink(nullptr);
    }

    RuntimeFactory factory;
    std::shared_ptr<Runtime> runtime;
    std::shared_ptr<ChannelClient> client;
    std::shared_ptr<ChannelProvider> provider;
    HalvoraTest::Connection connection;
    const std::shared_ptr<std::string> reply = std::make_shared<std::string>(kPayload);
};

DoubleSession& session()
{
    static DoubleSession instance;
    return instance;
}

// Floor (a): the dispatch request map written, the double's dispatch (a copy
// into a fresh buffer), the result decoded and given back.
void Floor_A_NativeCall(benchmark::State& state)
{
    session();
    for (auto _ : state) {
        msgpack::sbuffer buffer;
        msgpack::packer<msgpack::sbuffer> packer(buffer);
        packer.pack_map(5);
        packer.pack(std::string_view("client_id"));
        packer.pack(kClientId);
        packer.pack(std::string_view("handle"));
        packer.pack_uint64(1);
        packer.pack(std::string_view("is_null"));
        packer.pack_false();
        packer.pack(std::string_view("payload_json"));
        packer.pack(kPayload);
        packer.pack(std::string_view("topic"));
        packer.pack(kTopic);
        const NativeResult result =
            d_halvora_channels_client_dispatch(reinterpret_cast<const std::uint8_t*>(buffer.data()), buffer.size());
        msgpack::object_handle decoded = msgpack::unpack(reinterpret_cast<const char*>(result.data), result.length);
        benchmark::DoNotOptimize(decoded.get().type);
        deallocate_rust_buffer(result.data, result.length);
    }
}
BENCHMARK(Floor_A_NativeCall)->UseRealTime();

// Floor (b): a packaged task through a plain mutex and condition-variable
// queue to a worker thread, and its result back through the future.
class PlainWorker {
public:
    PlainWorker() : worker([this] { run(); }) {}
    ~PlainWorker()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        condition.notify_one();
        worker.join();
    }
    std::future<int> submit(std::packaged_task<int()> task)
    {
        std::future<int> future = task.get_future();
        {
            std::lock_guard<std::mutex> lock(mutex);
            tasks.push_back(std::move(task));
        }
        condition.notify_one();
        return future;
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            condition.wait(lock, [this] { return stopping || !tasks.empty(); });
            if (tasks.empty()) {
                return;
            }
            std::packaged_task<int()> task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable condition;
    std::deque<std::packaged_task<int()>> tasks;
    bool stopping = false;
    std::thread worker;
};

void Floor_B_TaskHandoff(benchmark::State& state)
{
    PlainWorker worker;
    for (auto _ : state) {
        benchmark::DoNotOptimize(worker.submit(std::packaged_task<int()>([] { return 1; })).get());
    }
}
BENCHMARK(Floor_B_TaskHandoff)->UseRealTime();

std::vector<std::uint8_t> providerEvent()
{
    return HalvoraTest::channelEvent("ChannelProviderMessage",
                                     {"bench-app", "runtime-1", "bench", "channel:bench:1", kClientId}, "bench", kTopic,
                                     kPayload);
}

// Floor (c): an event decoded and a reply buffer (length prefix, then the
// reply map) written.
void Floor_C_EventAndReply(benchmark::State& state)
{
    const std::vector<std::uint8_t> event = providerEvent();
    const std::string reply = kPayload;
    for (auto _ : state) {
        msgpack::object_handle decoded = msgpack::unpack(reinterpret_cast<const char*>(event.data()), event.size());
        benchmark::DoNotOptimize(decoded.get().via.array.ptr);
        msgpack::sbuffer buffer;
        buffer.write("\0\0\0\0\0\0\0\0", 8);
        msgpack::packer<msgpack::sbuffer> packer(buffer);
        packer.pack_map(3);
        packer.pack(std::string_view("is_error"));
        packer.pack_false();
        packer.pack(std::string_view("is_null"));
        packer.pack_false();
        packer.pack(std::string_view("payload_json"));
        packer.pack(reply);
        const std::uint64_t size = buffer.size() - 8;
        std::memcpy(buffer.data(), &size, 8);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(Floor_C_EventAndReply)->UseRealTime();

void Dispatch_Get(benchmark::State& state)
{
    const std::shared_ptr<ChannelClient>& client = session().client;
    for (auto _ : state) {
        benchmark::DoNotOptimize(client->dispatchAsync(kTopic, kPayload).get());
    }
}
BENCHMARK(Dispatch_Get)->UseRealTime();

// N dispatches in flight, then every future waited for; reported per dispatch.
void Dispatch_Pipelined(benchmark::State& state)
{
    const std::shared_ptr<ChannelClient>& client = session().client;
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<std::shared_future<std::shared_ptr<std::string>>> futures;
    futures.reserve(count);
    for (auto _ : state) {
        for (std::size_t i = 0; i < count; ++i) {
            futures.push_back(client->dispatchAsync(kTopic, kPayload));
        }
        for (const auto& future : futures) {
            future.wait();
        }
        state.PauseTiming();
        futures.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(Dispatch_Pipelined)->Arg(1000)->Arg(10000)->Arg(100000)->UseRealTime()->Unit(benchmark::kMillisecond);

// A burst: the worker is held in the adapter while N dispatches are queued,
// so all N are in flight at once; then every future is waited for.
void Dispatch_Burst(benchmark::State& state)
{
    const std::shared_ptr<ChannelClient>& client = session().client;
    const auto count = static_cast<std::size_t>(state.range(0));
    std::vector<std::shared_future<std::shared_ptr<std::string>>> futures;
    futures.reserve(count);
    for (auto _ : state) {
        holdEchoes(true);
        for (std::size_t i = 0; i < count; ++i) {
            futures.push_back(client->dispatchAsync(kTopic, kPayload));
        }
        holdEchoes(false);
        for (const auto& future : futures) {
            future.wait();
        }
        state.PauseTiming();
        futures.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(Dispatch_Burst)->Arg(1000)->Arg(10000)->Arg(100000)->UseRealTime()->Unit(benchmark::kMillisecond);

// One provider event through the adapter's callback, routed to the topic
// handler, and its reply buffer given back, as the adapter's thread does.
void Event_Intake(benchmark::State& state)
{
    const HalvoraTest::Connection connection = session().connection;
    const std::vector<std::uint8_t> event = providerEvent();
    for (auto _ : state) {
        std::uint8_t* reply = connection.onEvent(event.data(), event.size(), connection.runtime);
        benchmark::DoNotOptimize(reply);
        connection.releaseReply(reply);
    }
}
BENCHMARK(Event_Intake)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
