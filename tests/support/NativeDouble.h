// A scriptable stand-in for the native adapter, built as its own
// libhalvora_adapter_x64.so for unit tests. It records every request,
// answers from per-function scripts or handlers, accounts for every buffer it
// hands out, and fires events through the callbacks of a connect.
#pragma once

#include "NativeAdapter.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#if defined(_WIN32) && defined(HALVORA_DOUBLE_BUILDING)
#define HALVORA_DOUBLE_API __declspec(dllexport)
#elif defined(_WIN32)
#define HALVORA_DOUBLE_API __declspec(dllimport)
#else
#define HALVORA_DOUBLE_API __attribute__((visibility("default")))
#endif

namespace HalvoraTest {

// MessagePack read and written independently of the library, with map
// entries in written order: decoded requests, and expected bytes built as
// values (`bytesOf(Json{{"handle", 1}})`) rather than by hand.
using Json = nlohmann::ordered_json;
inline Json decoded(const std::vector<std::uint8_t>& bytes)
{
    return Json::from_msgpack(bytes, true, false); // discarded when not one whole value
}
inline std::vector<std::uint8_t> bytesOf(const Json& value)
{
    return Json::to_msgpack(value);
}

// One scripted answer of an adapter function.
struct HALVORA_DOUBLE_API Result {
    std::vector<std::uint8_t> bytes;
    bool isError = false;
    bool isNull = false;
    bool nullData = false;

    static Result text(const std::string& value) { return {bytesOf(value)}; }
    static Result uint(std::uint64_t value) { return {bytesOf(value)}; }
    static Result error(const std::string& message) { return {bytesOf(message), true}; }
    static Result null() { return {{0xc0}, false, true}; } // as an adapter answers
    // data == nullptr with the given length and flags.
    static Result nullPointer(std::uint32_t length = 0, bool isError = false, bool isNull = false)
    {
        return Result{std::vector<std::uint8_t>(length), isError, isNull, true};
    }
};

struct HALVORA_DOUBLE_API Call {
    std::string function; // e.g. "d_halvora_channels_client_dispatch"
    bool nullRequest = false;
    std::vector<std::uint8_t> bytes;
    Json request;
};

struct HALVORA_DOUBLE_API Reply {
    bool returned = false;           // false: the callback returned null
    std::vector<std::uint8_t> bytes; // as long as the length prefix says
    Json map;

    bool isError() const { return map.value("is_error", false); }
    bool isNull() const { return map.value("is_null", false); }
    std::string payload() const { return map.value("payload_json", ""); }
};

struct HALVORA_DOUBLE_API Connection {
    HalvoraEventCallback onEvent = nullptr;
    HalvoraReleaseCallback releaseReply = nullptr;
    void* runtime = nullptr; // the connect request's "runtime_ptr"
};

class HALVORA_DOUBLE_API NativeDouble {
public:
    using Handler = std::function<Result(const Call&)>;

    static NativeDouble& instance();

    // Forgets calls, scripts, handlers and connections; buffer counters too.
    void reset();

    // Scripted results are used once each, in order; then the handler, then
    // the default (connect: a fresh handle from 1; every other function: null).
    void script(const std::string& function, Result result);
    void respond(const std::string& function, Handler handler);

    std::vector<Call> calls(const std::string& function = "") const; // "": every function

    std::size_t outstandingBuffers() const;
    // Frees of pointers never handed out, frees given twice, or with a wrong length.
    std::size_t invalidReleases() const;

    // For benchmarks: while set, every function but connect is answered by
    // `answer` with a buffer from new[], recording and counting nothing, and
    // such buffers are freed uncounted. Clear it only once every such buffer
    // has been given back.
    using Bypass = NativeResult (*)(const std::uint8_t* request, std::uint64_t length);
    void setBypass(Bypass answer);

    std::optional<Connection> lastConnection() const;
    // Through the last connection's callbacks; the reply is decoded and given
    // back through the release callback.
    Reply fireEvent(const std::vector<std::uint8_t>& event);
    static Reply fireEvent(const Connection& connection, const std::vector<std::uint8_t>& event);

    // Used by the exported functions.
    NativeResult handle(const char* function, const std::uint8_t* request, std::uint64_t length);
    void rememberConnection(const Connection& connection);
    void release(std::uint8_t* data, std::uint64_t length);

private:
    NativeDouble() = default;
};

struct EndpointFields {
    std::string uuid, name, channelName, channelId, endpointId;
};

// A channel event as the runtime sends it: a seven-element array.
inline std::vector<std::uint8_t> channelEvent(const std::string& type, const EndpointFields& e,
                                              const std::string& channelName, const std::string& topic = "",
                                              const std::string& payload = "", bool payloadIsNull = false)
{
    const Json endpoint = Json::array({e.uuid, e.name, e.channelName, e.channelId, e.endpointId});
    return bytesOf(Json::array({type, endpoint, channelName, topic, payload, "", payloadIsNull}));
}
inline std::vector<std::uint8_t> adapterDisconnectedEvent()
{
    return channelEvent("AdapterDisconnected", EndpointFields(), "");
}
} // namespace HalvoraTest
