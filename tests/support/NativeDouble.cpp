#include "NativeDouble.h"

#include <msgpack.hpp>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <sstream>

namespace HalvoraTest {

namespace {

Value fromObject(const msgpack::object& object)
{
    Value value;
    if (object.type == msgpack::type::BOOLEAN) {
        value.boolean = object.via.boolean;
    } else if (object.type == msgpack::type::POSITIVE_INTEGER) {
        value.number = object.via.u64;
    } else if (object.type == msgpack::type::STR) {
        value.text.assign(object.via.str.ptr, object.via.str.size);
    } else if (object.type == msgpack::type::ARRAY) {
        for (std::uint32_t i = 0; i < object.via.array.size; ++i) {
            value.items.push_back(fromObject(object.via.array.ptr[i]));
        }
    } else if (object.type == msgpack::type::MAP) {
        for (std::uint32_t i = 0; i < object.via.map.size; ++i) {
            const msgpack::object_kv& entry = object.via.map.ptr[i];
            value.entries.emplace_back(fromObject(entry.key).text, fromObject(entry.val));
        }
    }
    return value;
}

std::vector<std::uint8_t> packed(const msgpack::sbuffer& buffer)
{
    return std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

template <typename T>
std::vector<std::uint8_t> packedValue(const T& value)
{
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, value);
    return packed(buffer);
}

// Read without the state's lock: the echo path must cost no more than a copy.
std::atomic<bool> echoing{false};
std::atomic<bool> echoesHeld{false};
std::mutex echoGateMutex;
std::condition_variable echoGateOpened;

} // namespace

Value Value::decode(const std::uint8_t* data, std::size_t length, bool* ok)
{
    Value value;
    bool decoded = true;
    try {
        std::size_t offset = 0;
        value = fromObject(msgpack::unpack(reinterpret_cast<const char*>(data), length, offset).get());
    } catch (const std::exception&) {
        decoded = false;
    }
    if (ok != nullptr) {
        *ok = decoded;
    }
    return value;
}

bool Value::has(const std::string& key) const
{
    for (const auto& entry : entries) {
        if (entry.first == key) {
            return true;
        }
    }
    return false;
}

const Value& Value::operator[](const std::string& key) const
{
    static const Value nil;
    for (const auto& entry : entries) {
        if (entry.first == key) {
            return entry.second;
        }
    }
    return nil;
}

const Value& Value::operator[](std::size_t index) const
{
    static const Value nil;
    return index < items.size() ? items[index] : nil;
}

std::vector<std::string> Value::keys() const
{
    std::vector<std::string> result;
    for (const auto& entry : entries) {
        result.push_back(entry.first);
    }
    return result;
}

Result Result::text(const std::string& value)
{
    return raw(packedValue(value));
}

Result Result::null()
{
    return raw({0xc0}, false, true);
}

Result Result::error(const std::string& message)
{
    return raw(packedValue(message), true);
}

Result Result::uint(std::uint64_t value)
{
    return raw(packedValue(value));
}

Result Result::raw(std::vector<std::uint8_t> bytes, bool isError, bool isNull)
{
    Result result;
    result.bytes = std::move(bytes);
    result.isError = isError;
    result.isNull = isNull;
    return result;
}

Result Result::nullPointer(std::uint32_t length, bool isError, bool isNull)
{
    Result result = raw(std::vector<std::uint8_t>(length), isError, isNull);
    result.nullData = true;
    return result;
}

struct NativeDouble::State {
    mutable std::mutex mutex;
    mutable std::condition_variable callsChanged;
    std::vector<Call> calls;
    std::map<std::string, std::deque<Result>> scripts;
    std::map<std::string, Handler> handlers;
    std::map<const std::uint8_t*, std::uint64_t> liveBuffers;
    std::size_t handedOut = 0;
    std::size_t released = 0;
    std::size_t invalid = 0;
    std::size_t nullOutstanding = 0;
    std::size_t repliesReleased = 0;
    std::uint64_t nextHandle = 1;
    std::vector<Connection> connections;
};

NativeDouble& NativeDouble::instance()
{
    static NativeDouble nativeDouble;
    return nativeDouble;
}

NativeDouble::State& NativeDouble::state() const
{
    static State state;
    return state;
}

void NativeDouble::reset()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.clear();
    s.scripts.clear();
    s.handlers.clear();
    s.connections.clear();
    s.released = s.invalid = s.nullOutstanding = s.repliesReleased = 0;
    // Buffers a test did not give back stay live, so a late release is not miscounted as invalid.
    s.handedOut = s.liveBuffers.size();
    s.nextHandle = 1;
}

void NativeDouble::script(const std::string& function, Result result)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().scripts[function].push_back(std::move(result));
}

void NativeDouble::respond(const std::string& function, Handler handler)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().handlers[function] = std::move(handler);
}

std::vector<Call> NativeDouble::calls() const
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().calls;
}

std::vector<Call> NativeDouble::calls(const std::string& function) const
{
    std::vector<Call> result;
    for (Call& call : calls()) {
        if (call.function == function) {
            result.push_back(std::move(call));
        }
    }
    return result;
}

std::size_t NativeDouble::callCount(const std::string& function) const
{
    return calls(function).size();
}

bool NativeDouble::waitForCalls(const std::string& function, std::size_t count, std::chrono::milliseconds timeout) const
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    return s.callsChanged.wait_for(lock, timeout, [&] {
        std::size_t seen = 0;
        for (const Call& call : s.calls) {
            seen += call.function == function ? 1 : 0;
        }
        return seen >= count;
    });
}

#define HALVORA_DOUBLE_COUNTER(name, field)                                                                            \
    std::size_t NativeDouble::name() const                                                                             \
    {                                                                                                                  \
        std::lock_guard<std::mutex> lock(state().mutex);                                                               \
        return state().field;                                                                                          \
    }
HALVORA_DOUBLE_COUNTER(buffersHandedOut, handedOut)
HALVORA_DOUBLE_COUNTER(buffersReleased, released)
HALVORA_DOUBLE_COUNTER(invalidReleases, invalid)
HALVORA_DOUBLE_COUNTER(repliesReleased, repliesReleased)

std::optional<Connection> NativeDouble::lastConnection() const
{
    std::lock_guard<std::mutex> lock(state().mutex);
    return state().connections.empty() ? std::nullopt : std::optional<Connection>(state().connections.back());
}

Reply NativeDouble::fireEvent(const std::vector<std::uint8_t>& event)
{
    return fireEvent(event.data(), event.size());
}

Reply NativeDouble::fireEvent(const std::uint8_t* data, std::uint64_t length)
{
    const std::optional<Connection> connection = lastConnection();
    return connection ? fireEvent(*connection, data, length) : Reply();
}

Reply NativeDouble::fireEvent(const Connection& connection, const std::uint8_t* data, std::uint64_t length)
{
    Reply reply;
    std::uint8_t* buffer = connection.onEvent(data, length, connection.runtime);
    if (buffer == nullptr) {
        return reply;
    }
    reply.returned = true;
    for (int i = 7; i >= 0; --i) { // the length prefix is little-endian
        reply.declaredLength = (reply.declaredLength << 8) | buffer[i];
    }
    reply.bytes.assign(buffer + 8, buffer + 8 + reply.declaredLength);
    reply.map = Value::decode(reply.bytes);
    connection.releaseReply(buffer);
    instance().countReplyReleased();
    return reply;
}

void NativeDouble::setEcho(bool on)
{
    echoing.store(on);
}

void NativeDouble::holdEchoes(bool held)
{
    {
        std::lock_guard<std::mutex> lock(echoGateMutex);
        echoesHeld.store(held);
    }
    echoGateOpened.notify_all();
}

NativeResult NativeDouble::handle(const char* function, const std::uint8_t* request, std::uint64_t length)
{
    if (echoing.load(std::memory_order_relaxed) && request != nullptr &&
        std::strcmp(function, "d_halvora_connect") != 0) {
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
    Call call;
    call.function = function;
    call.nullRequest = request == nullptr;
    if (request != nullptr) {
        call.bytes.assign(request, request + length);
        call.request = Value::decode(call.bytes);
    }
    State& s = state();
    std::optional<Result> result;
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto scripted = s.scripts.find(call.function);
        if (scripted != s.scripts.end() && !scripted->second.empty()) {
            result = std::move(scripted->second.front());
            scripted->second.pop_front();
        } else if (auto found = s.handlers.find(call.function); found != s.handlers.end()) {
            handler = found->second;
        } else {
            result = call.function == "d_halvora_connect" ? Result::uint(s.nextHandle++) : Result::null();
        }
    }
    if (!result) {
        result = handler(call); // without the lock: a handler may fire events or wait
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back(std::move(call));
    s.callsChanged.notify_all();
    NativeResult native{};
    native.length = static_cast<std::uint32_t>(result->bytes.size());
    native.isError = result->isError ? 1 : 0;
    native.isNull = result->isNull ? 1 : 0;
    ++s.handedOut;
    if (result->nullData) {
        ++s.nullOutstanding;
    } else {
        native.data = new std::uint8_t[result->bytes.empty() ? 1 : result->bytes.size()];
        if (!result->bytes.empty()) { // an empty vector's data() may be null, which memcpy must not see
            std::memcpy(native.data, result->bytes.data(), result->bytes.size());
        }
        s.liveBuffers[native.data] = native.length;
    }
    return native;
}

void NativeDouble::rememberConnection(const Connection& connection)
{
    std::lock_guard<std::mutex> lock(state().mutex);
    state().connections.push_back(connection);
}

void NativeDouble::release(std::uint8_t* data, std::uint64_t length)
{
    if (echoing.load(std::memory_order_relaxed)) {
        delete[] data;
        return;
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto found = s.liveBuffers.find(data);
    if (data == nullptr ? s.nullOutstanding == 0 : found == s.liveBuffers.end() || found->second != length) {
        ++s.invalid;
        return;
    }
    if (data == nullptr) {
        --s.nullOutstanding;
    } else {
        s.liveBuffers.erase(found);
        delete[] data;
    }
    ++s.released;
}

void NativeDouble::countReplyReleased()
{
    std::lock_guard<std::mutex> lock(state().mutex);
    ++state().repliesReleased;
}

std::vector<std::uint8_t> channelEvent(const std::string& type, const EndpointFields& endpoint,
                                       const std::string& channelName, const std::string& topic,
                                       const std::string& payload, bool payloadIsNull)
{
    const std::vector<std::string> fields = {endpoint.uuid, endpoint.name, endpoint.channelName, endpoint.channelId,
                                             endpoint.endpointId};
    return packedValue(std::make_tuple(type, fields, channelName, topic, payload, std::string(), payloadIsNull));
}

std::vector<std::uint8_t> adapterDisconnectedEvent()
{
    return channelEvent("AdapterDisconnected", EndpointFields(), "");
}

std::vector<std::uint8_t> hexBytes(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    std::istringstream stream(hex);
    std::string token;
    while (stream >> token) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
    }
    return bytes;
}

} // namespace HalvoraTest
