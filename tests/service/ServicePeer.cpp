// An application process for the service tests, on the public API.
//   provider PORT [ARGS]   (ARGS: the options' "arguments") opens "load": "echo" answers its payload, "slow"
//                          prints "slow started" and answers after 3 s (its
//                          event thread busy meanwhile), "announce" broadcasts "notice",
//                          "huge" answers 5 MiB, over the frame bound, "ticks" starts
//                          broadcasting "tick" every 100 ms;
//                          prints "ready", then one line per client event
//   client PORT COUNT      COUNT pipelined "echo" dispatches, each reply
//                          checked; then "announce" and waits for "notice"
//   slow-client PORT       prints "dispatching" and waits on "slow"
//   listener PORT          connects to "load", prints "listening" and stays
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace HalvoraAdapterApi;

namespace {

std::shared_ptr<Runtime> connected(RuntimeFactory& factory, const char* port, const std::string& uuid,
                                   const char* arguments = "")
{
    RuntimeOptions options(uuid, "stable");
    options.port = std::atoi(port);
    options.arguments = arguments;
    auto runtime = factory.getRuntimeInstance(options);
    runtime->connectAsync().get();
    return runtime;
}

int provide(const char* port, const char* arguments)
{
    RuntimeFactory factory;
    auto runtime = connected(factory, port, "provider", arguments);
    std::promise<void> gone;
    runtime->subscribeDisconnected([&gone] { gone.set_value(); });
    auto provider = runtime->getChannels()->createProvider("load");
    provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
    provider->registerTopic("slow", [](std::shared_ptr<std::string> payload, EndpointId) {
        std::cout << "slow started" << std::endl;
        std::this_thread::sleep_for(std::chrono::seconds(3));
        return payload;
    });
    provider->registerTopic("huge", [](std::shared_ptr<std::string>, EndpointId) {
        return std::make_shared<std::string>(std::size_t{5} << 20, 'x');
    });
    provider->registerTopic("announce", [&provider](std::shared_ptr<std::string> payload, EndpointId) {
        provider->broadcastAsync("notice", *payload);
        return std::shared_ptr<std::string>();
    });
    provider->subscribeClientConnected([](const EndpointId& id) { std::cout << "connected " << id.uuid << std::endl; });
    provider->subscribeClientDisconnected([](const EndpointId& id) { std::cout << "left " << id.uuid << std::endl; });
    std::atomic<bool> ticking{false};
    std::promise<void> stopTicking;
    std::thread ticker;
    provider->registerTopic("ticks", [&](std::shared_ptr<std::string>, EndpointId) {
        if (!ticking.exchange(true))
            ticker = std::thread([&provider, stop = stopTicking.get_future()] {
                for (int n = 0; stop.wait_for(std::chrono::milliseconds(100)) != std::future_status::ready; ++n)
                    provider->broadcastAsync("tick", std::to_string(n));
            });
        return std::shared_ptr<std::string>();
    });
    provider->openAsync().get();
    std::cout << "ready" << std::endl;
    gone.get_future().wait_for(std::chrono::seconds(120));
    std::cout << "service gone" << std::endl;
    stopTicking.set_value();
    if (ticker.joinable())
        ticker.join();
    return 0;
}

int client(const char* port, int count)
{
    RuntimeFactory factory;
    const std::string me = std::to_string(::getpid());
    auto runtime = connected(factory, port, "client-" + me);
    auto channel = runtime->getChannels()->createClient("load");
    std::promise<std::string> notice;
    channel->registerTopic("notice", [&notice](std::shared_ptr<std::string> payload, EndpointId) {
        try {
            notice.set_value(*payload);
        } catch (const std::future_error&) {
        }
        return std::shared_ptr<std::string>();
    });
    channel->connectAsync(true).get();
    int wrong = 0;
    constexpr int window = 200;
    for (int first = 0; first < count; first += window) {
        std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
        for (int i = first; i < std::min(count, first + window); ++i)
            pending.push_back(channel->dispatchAsync("echo", me + "-" + std::to_string(i)));
        for (int i = first; i < std::min(count, first + window); ++i) {
            const auto reply = pending[static_cast<std::size_t>(i - first)].get();
            wrong += (!reply || *reply != me + "-" + std::to_string(i)) ? 1 : 0;
        }
    }
    channel->dispatchAsync("announce", "hello " + me).get();
    auto noticed = notice.get_future();
    const bool heard = noticed.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    std::cout << "echoed " << count - wrong << " wrong " << wrong << " notice " << (heard ? noticed.get() : "none")
              << std::endl;
    runtime->disconnectAsync().get();
    return wrong == 0 && heard ? 0 : 1;
}

int slowClient(const char* port)
{
    RuntimeFactory factory;
    auto runtime = connected(factory, port, "slow-" + std::to_string(::getpid()));
    auto channel = runtime->getChannels()->createClient("load");
    channel->connectAsync(true).get();
    auto reply = channel->dispatchAsync("slow", "x");
    std::cout << "dispatching" << std::endl;
    reply.wait();
    return 0;
}

int listen(const char* port)
{
    RuntimeFactory factory;
    auto runtime = connected(factory, port, "listener-" + std::to_string(::getpid()));
    auto channel = runtime->getChannels()->createClient("load");
    channel->registerTopic("tick",
                           [](std::shared_ptr<std::string>, EndpointId) { return std::shared_ptr<std::string>(); });
    channel->connectAsync(true).get();
    std::cout << "listening" << std::endl;
    std::this_thread::sleep_for(std::chrono::seconds(60));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const std::string mode = argc > 2 ? argv[1] : "";
        if (mode == "provider")
            return provide(argv[2], argc > 3 ? argv[3] : "");
        if (mode == "client" && argc > 3)
            return client(argv[2], std::atoi(argv[3]));
        if (mode == "slow-client")
            return slowClient(argv[2]);
        if (mode == "listener")
            return listen(argv[2]);
        std::cerr << "usage: service_peer provider|client|slow-client|listener PORT [COUNT]" << std::endl;
        return 2;
    } catch (const std::exception& error) {
        std::cout << "failed: " << error.what() << std::endl;
        return 1;
    }
}
