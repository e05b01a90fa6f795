// A fake runtime for the adapter's tests: it connects through the exported C
// functions, records the events it receives and answers them with reply
// buffers, whose releases it checks.
#pragma once

#include "../stress/StressSupport.h"
#include "NativeAdapter.h"
#include "embedded/ResultBuffers.h"
#include "halvora_embedded.h"

#include <gmock/gmock.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace halvora::adapter::testing {

using json = nlohmann::ordered_json;
using Bytes = std::vector<std::uint8_t>;
using AdapterFunction = NativeResult (*)(const std::uint8_t*, std::uint64_t);
using namespace std::chrono_literals;
using HalvoraStress::eventually;

// The reply buffers handed to the adapter and not released yet, and releases
// of buffers that were not (twice, or never handed out). Leaked on purpose:
// event threads may still release replies while the process exits.
struct ReplyLedger {
    std::mutex mutex; // guards outstanding and bad
    std::set<std::uint8_t*> outstanding;
    std::size_t bad = 0;
};
inline ReplyLedger& ledger = *new ReplyLedger;

inline void releaseReply(std::uint8_t* reply)
{
    std::lock_guard<std::mutex> lock(ledger.mutex);
    if (ledger.outstanding.erase(reply) == 0)
        ++ledger.bad;
    else
        delete[] reply;
}

// Every test ends with no live connection and every buffer given back, once,
// on both sides of the boundary.
class AdapterTest : public ::testing::Test {
public:
    // What one call returned, as comparable text: "null", "text:<value>",
    // "error:<message>" or "number:<value>" for any other value, as JSON. Its
    // buffer is given back.
    static std::string outcomeOf(const NativeResult& result)
    {
        const json value = json::from_msgpack(result.data, result.data + result.length, true, false);
        deallocate_rust_buffer(result.data, result.length);
        if (result.isNull && !result.isError)
            return "null";
        const char* kind = result.isError ? "error:" : value.is_string() ? "text:" : "number:";
        return kind + (value.is_string() ? value.get<std::string>() : value.dump());
    }
    static std::string callAdapter(AdapterFunction function, const Bytes& request)
    {
        return outcomeOf(function(request.empty() ? nullptr : request.data(), request.size()));
    }
    // The value of a "text:" outcome; fails the test for any other.
    static std::string textOf(const std::string& outcome)
    {
        EXPECT_EQ(outcome.rfind("text:", 0), 0u) << outcome;
        return outcome.substr(std::min<std::size_t>(outcome.size(), 5));
    }

    // A reply buffer: an 8-byte little-endian length (by default the map's),
    // then the map.
    static Bytes framed(const Bytes& map, std::optional<std::uint64_t> declaredLength = std::nullopt)
    {
        Bytes bytes(8 + map.size());
        for (std::size_t i = 0; i < 8; ++i)
            bytes[i] = static_cast<std::uint8_t>(declaredLength.value_or(map.size()) >> (8 * i));
        std::copy(map.begin(), map.end(), bytes.begin() + 8);
        return bytes;
    }
    static Bytes reply(const json& map) { return framed(json::to_msgpack(map)); }
    static Bytes text(const std::string& payload) { return reply({{"is_null", false}, {"payload_json", payload}}); }
    static Bytes noValue() { return reply({{"is_null", true}}); }

protected:
    void TearDown() override
    {
        // Joins every event thread, also one still returning from the handler in which its runtime
        // disconnected, so every reply is back when it returns.
        halvora_embedded_shutdown();
        std::lock_guard<std::mutex> lock(ledger.mutex);
        EXPECT_EQ(ledger.outstanding.size(), 0u) << "reply buffers not released";
        EXPECT_EQ(ledger.bad, 0u) << "reply buffers released twice or never handed out";
        EXPECT_EQ(embedded::liveResultBuffers(), 0u) << "result buffers not given back";
    }
};

// One event: [type, [uuid, name, channelName, channelId, endpointId],
// channelName, topic, payload, reserved, payload is null].
class FakeRuntime {
public:
    // Answers an event; until one is set, and for the last event, "AdapterDisconnected",
    // events are answered without a value here, as handlers may hold the test's locals.
    using Handler = std::function<Bytes(const json& event)>;

    // Connected from the start, in-process or to the service on `port`.
    explicit FakeRuntime(const std::string& uuid = "fake-runtime", int port = 0)
    {
        const Bytes request = json::to_msgpack(json{{"runtime_options", {{"uuid", uuid}, {"port", port}}},
                                                    {"runtime_ptr", reinterpret_cast<std::uintptr_t>(this)}});
        const std::string outcome =
            AdapterTest::outcomeOf(d_halvora_connect(request.data(), request.size(), onEvent, releaseReply));
        handle = outcome.rfind("number:", 0) == 0 ? std::stoull(outcome.substr(7)) : 0;
    }
    ~FakeRuntime() { disconnect(); }

    std::string disconnect() const { return call(d_halvora_disconnect, {}); }
    void answer(Handler handler)
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        handler_ = std::move(handler);
    }
    std::vector<json> events() const
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        return events_;
    }

    // A request of this runtime: `fields` and its handle.
    std::string call(AdapterFunction function, json fields) const
    {
        fields["handle"] = handle;
        return AdapterTest::callAdapter(function, json::to_msgpack(fields));
    }
    std::string createProvider(const std::string& channel) const
    {
        return call(d_halvora_channels_create_provider, {{"provider_name", channel}});
    }
    std::string connectTo(const std::string& channel, bool wait = false) const
    {
        return call(d_halvora_channels_connect_to_provider, {{"provider_name", channel}, {"wait", wait}});
    }
    // A dispatch without payload from the client `from`, or with `to`, from
    // the provider `from` to the endpoint `to`.
    std::string dispatch(const std::string& from, const std::string& topic, const std::string& to = "") const
    {
        if (to.empty())
            return call(d_halvora_channels_client_dispatch, {{"client_id", from}, {"topic", topic}, {"is_null", true}});
        return call(d_halvora_channels_client_dispatch_to_endpoint,
                    {{"destination", {{"endpoint_id", to}}}, {"source", from}, {"topic", topic}, {"is_null", true}});
    }

    std::uint64_t handle = 0;

private:
    static std::uint8_t* onEvent(const std::uint8_t* data, std::uint64_t length, void* context)
    {
        auto& runtime = *static_cast<FakeRuntime*>(context);
        const json event = json::from_msgpack(data, data + length, true, false);
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(runtime.eventsMutex_);
            runtime.events_.push_back(event);
            handler = runtime.handler_;
        }
        const Bytes answer = handler && event.at(0) != "AdapterDisconnected" ? handler(event) : AdapterTest::noValue();
        auto* buffer = new std::uint8_t[answer.size()];
        std::copy(answer.begin(), answer.end(), buffer);
        std::lock_guard<std::mutex> lock(ledger.mutex);
        ledger.outstanding.insert(buffer);
        return buffer;
    }

    mutable std::mutex eventsMutex_; // guards events_ and handler_
    std::vector<json> events_;
    Handler handler_;
};

} // namespace halvora::adapter::testing
