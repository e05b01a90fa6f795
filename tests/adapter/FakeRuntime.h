// A fake runtime for the adapter's tests: connects through the exported C
// functions, records the events it receives and answers them with reply
// buffers, whose releases it checks.
#pragma once

#include "NativeAdapter.h"

#include <nlohmann/json.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace halvora::adapter::testing {

// What one adapter call returned, copied out before its buffer went back.
struct Outcome {
    enum class Kind { Null, Text, Number, Error, Undecodable };
    Kind kind = Kind::Undecodable;
    std::string text;
    std::uint64_t number = 0;

    bool isError() const { return kind == Kind::Error; }
};

using AdapterFunction = NativeResult (*)(const std::uint8_t*, std::uint64_t);

// Calls `function` and gives the result buffer back at once.
Outcome callAdapter(AdapterFunction function, const std::vector<std::uint8_t>& request);

// Builds a MessagePack request map key by key.
class RequestBuilder {
public:
    template <typename Value>
    RequestBuilder& add(const std::string& key, const Value& value)
    {
        entries_[key] = value;
        return *this;
    }
    RequestBuilder& addMap(const std::string& key, const RequestBuilder& map) { return add(key, map.entries_); }
    RequestBuilder& addNil(const std::string& key) { return add(key, nullptr); }
    std::vector<std::uint8_t> bytes() const;

private:
    nlohmann::json entries_ = nlohmann::json::object();
};

struct ReceivedEvent {
    std::size_t elements = 0;
    std::string type;
    std::array<std::string, 5> endpoint; // uuid, name, channelName, channelId, endpointId
    std::string channelName;
    std::string topic;
    std::string payload;
    std::string reserved;
    bool payloadIsNull = false;
    std::thread::id thread;

    const std::string& endpointId() const { return endpoint[4]; }
};

// How the fake runtime answers one event.
struct Reply {
    enum class Kind { Text, Null, Error, NoReply, Garbage };
    Kind kind = Kind::Null;
    std::string payload;

    static Reply text(std::string payload) { return {Kind::Text, std::move(payload)}; }
    static Reply null() { return {Kind::Null, {}}; }
    static Reply error(std::string message) { return {Kind::Error, std::move(message)}; }
    static Reply none() { return {Kind::NoReply, {}}; }
    static Reply garbage() { return {Kind::Garbage, {}}; }
};

class FakeRuntime {
public:
    using Handler = std::function<Reply(const ReceivedEvent&)>;
    static constexpr auto patience = std::chrono::seconds(5);

    explicit FakeRuntime(std::string uuid = "fake-runtime");
    FakeRuntime(const FakeRuntime&) = delete;
    FakeRuntime& operator=(const FakeRuntime&) = delete;
    ~FakeRuntime();

    std::uint64_t connect();
    Outcome disconnect();
    std::uint64_t handle() const { return handle_; }
    const std::string& uuid() const { return uuid_; }

    // Answers every later event; the default answers without a value.
    void answer(Handler handler);

    std::vector<ReceivedEvent> events() const;
    std::vector<ReceivedEvent> eventsOf(const std::string& type) const;
    // Waits until `count` events of `type` have arrived; returns the first of them.
    std::optional<ReceivedEvent> waitForEvent(const std::string& type, std::size_t count = 1) const;

    Outcome createProvider(const std::string& channel) const;
    Outcome connectToProvider(const std::string& channel, bool wait) const;
    Outcome disconnectFromProvider(const std::string& clientId) const;
    Outcome dispatch(const std::string& clientId, const std::string& topic,
                     std::optional<std::string> payload = std::nullopt) const;
    Outcome dispatchToEndpoint(const std::string& providerId, const std::string& endpointId, const std::string& topic,
                               std::optional<std::string> payload = std::nullopt) const;
    Outcome launch(const std::string& manifestUrl) const;

    // Reply buffers handed to the adapter and not released yet, and releases
    // of buffers that were not outstanding (double or foreign).
    static std::size_t outstandingReplies();
    static std::size_t badReleases();

private:
    static std::uint8_t* onEvent(const std::uint8_t* data, std::uint64_t length, void* runtime);
    static void releaseReply(std::uint8_t* reply);
    std::uint8_t* handle(const std::uint8_t* data, std::uint64_t length);

    const std::string uuid_;
    std::uint64_t handle_ = 0;

    mutable std::mutex eventsMutex_; // guards events_ and handler_
    mutable std::condition_variable eventArrived_;
    std::vector<ReceivedEvent> events_;
    Handler handler_;
};

// Polls `condition` until it holds or `limit` passes.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(5000));

} // namespace halvora::adapter::testing
