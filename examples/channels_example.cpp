// A provider and two clients on three runtimes of one process, talking over
// the channel "prices": requests and replies in both directions, a broadcast,
// connection events, a manifest launch and a timed burst of dispatches.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace HalvoraAdapterApi;

namespace {

// Handlers and subscribers run on the runtime's event threads; main waits
// here for what they report, never longer than a few seconds.
class Events {
public:
    void record(const std::string& line)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            std::cout << "  [event] " << line << std::endl;
            ++count;
        }
        changed.notify_all();
    }

    bool waitFor(int expected)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return count >= expected; });
    }

    int seen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
};

std::string text(const std::shared_ptr<std::string>& value)
{
    return value ? *value : std::string("(no value)");
}

std::string manifestUrl(const char* program)
{
    const auto folder = std::filesystem::absolute(program).parent_path();
    return "file://" + (folder / "manifests" / "hello.json").string();
}

} // namespace

int main(int /*argc*/, char** argv)
{
    try {
        Events events;
        RuntimeFactory factory;
        auto providerRuntime = factory.getRuntimeInstance(RuntimeOptions("price-service", "stable"));
        auto clientRuntimeA = factory.getRuntimeInstance(RuntimeOptions("trader-a", "stable"));
        auto clientRuntimeB = factory.getRuntimeInstance(RuntimeOptions("trader-b", "stable"));
        for (const auto& runtime : {providerRuntime, clientRuntimeA, clientRuntimeB}) {
            runtime->connectAsync().get();
            std::cout << "connected " << runtime->getRuntimeId() << std::endl;
        }

        // The provider answers "quote" and hears clients come and go.
        auto provider = providerRuntime->getChannels()->createProvider("prices");
        std::mutex clientsMutex;
        std::vector<EndpointId> connectedClients;
        provider->registerTopic("quote", [](std::shared_ptr<std::string> payload, EndpointId from) {
            return std::make_shared<std::string>("{\"price\":101.5,\"for\":\"" + from.uuid +
                                                 "\",\"asked\":" + text(payload) + "}");
        });
        provider->subscribeClientConnected([&](const EndpointId& client) {
            {
                std::lock_guard<std::mutex> lock(clientsMutex);
                connectedClients.push_back(client);
            }
            events.record("provider: client " + client.uuid + " connected");
        });
        provider->subscribeClientDisconnected(
            [&](const EndpointId& client) { events.record("provider: client " + client.uuid + " disconnected"); });
        provider->openAsync().get();
        std::cout << "provider opened \"prices\"" << std::endl;

        // Each client answers the provider's "notice" messages.
        std::vector<std::shared_ptr<ChannelClient>> clients;
        for (const auto& runtime : {clientRuntimeA, clientRuntimeB}) {
            auto client = runtime->getChannels()->createClient("prices");
            const std::string who = runtime->getRuntimeOptions().uuid;
            client->registerTopic("notice", [&events, who](std::shared_ptr<std::string> payload, EndpointId) {
                events.record(who + " got notice " + text(payload));
                return std::make_shared<std::string>("{\"ack\":\"" + who + "\"}");
            });
            client->subscribeDisconnected([&events, who] { events.record(who + ": provider went away"); });
            client->connectAsync(true).get();
            clients.push_back(client);
        }
        events.waitFor(2);

        for (const auto& client : clients) {
            auto reply = client->dispatchAsync("quote", "{\"symbol\":\"ABC\"}").get();
            std::cout << "client dispatch -> " << text(reply) << std::endl;
        }

        EndpointId first;
        {
            std::lock_guard<std::mutex> lock(clientsMutex);
            first = connectedClients.at(0);
        }
        auto answer = provider->dispatchAsync(first, "notice", "{\"only\":\"you\"}").get();
        std::cout << "provider dispatch to " << first.uuid << " -> " << text(answer) << std::endl;

        const int before = events.seen();
        provider->broadcastAsync("notice", "{\"market\":\"open\"}").get();
        events.waitFor(before + 2);
        std::cout << "broadcast reached every client" << std::endl;

        const int beforeLeaving = events.seen();
        clients[1]->disconnectAsync().get();
        events.waitFor(beforeLeaving + 1);

        auto launched = providerRuntime->getDesktopSystem()->launchManifest(manifestUrl(argv[0]), nullptr).get();
        std::cout << "launched " << text(launched) << std::endl;

        constexpr int burst = 3000;
        std::vector<std::shared_future<std::shared_ptr<std::string>>> pending;
        pending.reserve(burst);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < burst; ++i) {
            pending.push_back(clients[0]->dispatchAsync("quote", std::to_string(i)));
        }
        for (const auto& reply : pending) {
            reply.get();
        }
        const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
        std::cout << "burst of " << burst << " dispatches: " << elapsed.count() / burst << " us per round trip"
                  << std::endl;

        for (const auto& runtime : {clientRuntimeA, clientRuntimeB, providerRuntime}) {
            runtime->disconnectAsync().get();
        }
        std::cout << "disconnected; done" << std::endl;
        return 0;
    } catch (const std::exception& error) {
        std::cerr << "example failed: " << error.what() << std::endl;
        return 1;
    }
}
