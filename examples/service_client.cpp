// The client half of the two-process example: waits for the provider of
// "prices", asks for quotes, times a burst of round trips and asks the
// provider to broadcast to every client.
//   usage: service_client [port]   (the service's port, default 9696)
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace HalvoraAdapterApi;

int main(int argc, char** argv)
{
    try {
        RuntimeOptions options("trader-" + std::to_string(::getpid()), "stable");
        options.port = argc > 1 ? std::atoi(argv[1]) : 9696;
        RuntimeFactory factory;
        auto runtime = factory.getRuntimeInstance(options);
        runtime->connectAsync().get();

        auto client = runtime->getChannels()->createClient("prices");
        std::promise<std::string> notice;
        auto noticed = notice.get_future();
        client->registerTopic("notice", [&notice](std::shared_ptr<std::string> payload, EndpointId) {
            try {
                notice.set_value(payload ? *payload : std::string());
            } catch (const std::future_error&) {
                // a later broadcast; the first one is what this example shows
            }
            return std::shared_ptr<std::string>();
        });
        client->connectAsync(true).get(); // waits until the provider is open
        std::cout << "connected to \"prices\"" << std::endl;

        for (const char* symbol : {"ABC", "XYZ"}) {
            auto reply = client->dispatchAsync("quote", std::string("{\"symbol\":\"") + symbol + "\"}").get();
            std::cout << "quote -> " << (reply ? *reply : std::string("(no value)")) << std::endl;
        }

        constexpr int burst = 2000;
        std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < burst; ++i)
            pending.push_back(client->dispatchAsync("quote", std::to_string(i)));
        for (const auto& reply : pending)
            reply.get();
        const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        std::cout << burst << " dispatches across processes: " << elapsed.count() / burst << " us each" << std::endl;

        client->dispatchAsync("announce", "{\"market\":\"open\"}").get();
        if (noticed.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
            throw std::runtime_error("no broadcast arrived");
        std::cout << "broadcast -> " << noticed.get() << std::endl;

        runtime->disconnectAsync().get();
        std::cout << "done" << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "client failed: " << error.what() << std::endl;
        return 1;
    }
}
