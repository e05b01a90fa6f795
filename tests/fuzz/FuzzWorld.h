// A runtime connected to the native test double, with a client and a provider
// on the channel "news" and topic handlers that answer, throw and re-enter
// the library, for the targets that drive the whole event callback. After an
// input that disconnected it, the world is built afresh, and the buffers of
// the old one are checked: every one released, none released twice.
#pragma once

#include <HalvoraAdapterApi/ChannelClient.h>
#include <HalvoraAdapterApi/ChannelProvider.h>
#include <HalvoraAdapterApi/Channels.h>
#include <HalvoraAdapterApi/HalvoraApiException.h>
#include <HalvoraAdapterApi/Runtime.h>
#include <HalvoraAdapterApi/RuntimeFactory.h>

#include "FuzzQuiet.h"
#include "NativeDouble.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace HalvoraFuzz {

using namespace HalvoraAdapterApi;
using HalvoraTest::NativeDouble;
using HalvoraTest::Reply;

class FuzzWorld {
public:
    static FuzzWorld& instance()
    {
        static FuzzWorld* world = new FuzzWorld(); // lives until exit; never torn down mid-run
        return *world;
    }

    // Fires one event and checks the reply's form.
    void fire(const std::uint8_t* data, std::size_t size)
    {
        if (!runtime || !runtime->isConnected()) {
            rebuild();
        }
        const Reply reply = NativeDouble::instance().fireEvent(data, size);
        if (reply.returned) {
            const bool wellFormed = reply.declaredLength == reply.bytes.size() && reply.map.size() == 3 &&
                                    reply.map.has("is_error") && reply.map.has("is_null") &&
                                    reply.map.has("payload_json");
            if (!wellFormed) {
                std::abort();
            }
        }
        if (NativeDouble::instance().invalidReleases() != 0) {
            std::abort();
        }
    }

private:
    FuzzWorld() { quietLibrary(); }

    void rebuild()
    {
        NativeDouble& native = NativeDouble::instance();
        client.reset();
        provider.reset();
        runtime.reset(); // joins the runtime's worker, so its work has given back its buffers
        factory.reset();
        if (native.outstandingBuffers() != 0 || native.invalidReleases() != 0) {
            std::abort();
        }
        native.reset();
        factory = std::make_unique<RuntimeFactory>();
        runtime = factory->getRuntimeInstance(RuntimeOptions("fuzz-app", "stable"));
        runtime->connectAsync().get();
        std::shared_ptr<Channels> channels = runtime->getChannels();

        native.script("d_halvora_channels_create_provider", HalvoraTest::Result::text("provider-1"));
        provider = channels->createProvider("news");
        provider->openAsync().get();
        native.script("d_halvora_channels_connect_to_provider", HalvoraTest::Result::text("client-1"));
        client = channels->createClient("news");
        client->connectAsync(false).get();

        registerHandlers(*client);
        registerHandlers(*provider);
        std::weak_ptr<Runtime> weakRuntime = runtime;
        provider->subscribeClientConnected([weakRuntime](const EndpointId&) {
            if (auto live = weakRuntime.lock()) {
                (void)live->isConnected();
            }
        });
        provider->subscribeClientDisconnected([](const EndpointId& endpoint) {
            if (endpoint.name == "throw") {
                throw std::runtime_error("subscriber failed");
            }
        });
        client->subscribeDisconnected([weakRuntime] {
            if (auto live = weakRuntime.lock()) {
                (void)live->isConnected();
            }
        });
    }

    template <typename End>
    void registerHandlers(End& end)
    {
        end.registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
        end.registerTopic("nothing", [](std::shared_ptr<std::string>, EndpointId) { return nullptr; });
        end.registerTopic("throw", [](std::shared_ptr<std::string>, EndpointId) -> std::shared_ptr<std::string> {
            throw std::runtime_error("handler failed");
        });
        std::weak_ptr<Runtime> weakRuntime = runtime;
        end.registerTopic("reenter", [weakRuntime](std::shared_ptr<std::string> payload, EndpointId) {
            // Into the library from the adapter's thread: a new channel end
            // and a dispatch queued on the runtime's worker.
            if (auto live = weakRuntime.lock()) {
                try {
                    std::shared_ptr<Channels> channels = live->getChannels();
                    channels->createClient("other");
                    channels->createClient("news")->dispatchAsync("echo", payload ? *payload : "");
                } catch (const HalvoraApiException&) {
                }
            }
            return std::make_shared<std::string>("reentered");
        });
    }

    std::unique_ptr<RuntimeFactory> factory;
    std::shared_ptr<Runtime> runtime;
    std::shared_ptr<ChannelClient> client;
    std::shared_ptr<ChannelProvider> provider;
};

} // namespace HalvoraFuzz
