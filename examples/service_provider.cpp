// The provider half of the two-process example: opens the channel "prices"
// on the runtime service and answers "quote" until the service stops or
// this process is interrupted.
//   usage: service_provider [port]   (the service's port, default 9696)
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

using namespace HalvoraAdapterApi;

namespace {

volatile std::sig_atomic_t interrupted = 0;

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGINT, [](int) { interrupted = 1; });
    std::signal(SIGTERM, [](int) { interrupted = 1; });
    try {
        RuntimeOptions options("price-service", "stable");
        options.port = argc > 1 ? std::atoi(argv[1]) : 9696; // a non-zero port selects the runtime service
        RuntimeFactory factory;
        auto runtime = factory.getRuntimeInstance(options);
        std::atomic<bool> serviceGone{false};
        runtime->subscribeDisconnected([&] { serviceGone = true; });
        runtime->connectAsync().get();

        auto provider = runtime->getChannels()->createProvider("prices");
        provider->registerTopic("quote", [](std::shared_ptr<std::string> payload, EndpointId from) {
            return std::make_shared<std::string>("{\"price\":101.5,\"for\":\"" + from.uuid +
                                                 "\",\"asked\":" + (payload ? *payload : std::string("null")) + "}");
        });
        // Answered at once; the broadcast itself goes out on the runtime's own queue.
        provider->registerTopic("announce", [&provider](std::shared_ptr<std::string> payload, EndpointId) {
            provider->broadcastAsync("notice", payload ? *payload : std::string("{}"));
            return std::shared_ptr<std::string>();
        });
        provider->subscribeClientConnected(
            [](const EndpointId& client) { std::cout << "client " << client.uuid << " connected" << std::endl; });
        provider->subscribeClientDisconnected(
            [](const EndpointId& client) { std::cout << "client " << client.uuid << " left" << std::endl; });
        provider->openAsync().get();
        std::cout << "provider open on \"prices\"" << std::endl;

        while (!interrupted && !serviceGone)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (serviceGone) {
            std::cout << "the runtime service went away" << std::endl;
            return 0;
        }
        runtime->disconnectAsync().get();
        std::cout << "provider stopped" << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "provider failed: " << error.what() << std::endl;
        return 1;
    }
}
