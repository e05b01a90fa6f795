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
    switch (object.type) {
    case msgpack::type::NIL:
        break;
    case msgpack::type::BOOLEAN:
        value.kind = Value::Kind::Bool;
        value.boolean = object.via.boolean;
        break;
    case msgpack::type::POSITIVE_INTEGER:
        value.kind = Value::Kind::UInt;
        value.unsignedInteger = object.via.u64;
        value.integer = static_cast<std::int64_t>(object.via.u64);
        break;
    case msgpack::type::NEGATIVE_INTEGER:
        value.kind = Value::Kind::Int;
        value.integer = object.via.i64;
        break;
    case msgpack::type::FLOAT32:
    case msgpack::type::FLOAT64:
        value.kind = Value::Kind::Float;
        value.floating = object.via.f64;
        break;
    case msgpack::type::STR:
        value.kind = Value::Kind::Str;
        value.text.assign(object.via.str.ptr, object.via.str.size);
        break;
    case msgpack::type::BIN:
        value.kind = Value::Kind::Bin;
        value.text.assign(object.via.bin.ptr, object.via.bin.size);
        break;
    case msgpack::type::ARRAY:
        value.kind = Value::Kind::Array;
        for (std::uint32_t i = 0; i < object.via.array.size; ++i) {
            value.items.push_back(fromObject(object.via.array.ptr[i]));
        }
        break;
    case msgpack::type::MAP:
        value.kind = Value::Kind::Map;
        for (std::uint32_t i = 0; i < object.via.map.size; ++i) {
            value.entries.emplace_back(fromObject(object.via.map.ptr[i].key), fromObject(object.via.map.ptr[i].val));
        }
        break;
    case msgpack::type::EXT:
        value.kind = Value::Kind::Ext;
        break;
    }
    return value;
}

// Read without the state's lock: the echo path must cost no more than a copy.
std::atomic<bool> echoing{false};
std::atomic<bool> echoesHeld{false};
std::mutex echoGateMutex;
std::condition_variable echoGateOpened;

void passEchoGate()
{
    if (echoesHeld.load()) {
        std::unique_lock<std::mutex> lock(echoGateMutex);
        echoGateOpened.wait(lock, [] { return !echoesHeld.load(); });
    }
}

const Value& nilValue()
{
    static const Value nil;
    return nil;
}

std::uint8_t* copyBuffer(const std::vector<std::uint8_t>& bytes)
{
    auto* buffer = new std::uint8_t[bytes.empty() ? 1 : bytes.size()];
    if (!bytes.empty()) {
        std::memcpy(buffer, bytes.data(), bytes.size());
    }
    return buffer;
}

std::vector<std::uint8_t> packed(const msgpack::sbuffer& buffer)
{
    return std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

} // namespace

Value Value::decode(const std::uint8_t* data, std::size_t length, bool* ok)
{
    try {
        std::size_t offset = 0;
        msgpack::object_handle handle = msgpack::unpack(reinterpret_cast<const char*>(data), length, offset);
        if (ok != nullptr) {
            *ok = true;
        }
        return fromObject(handle.get());
    } catch (const std::exception&) {
        if (ok != nullptr) {
            *ok = false;
        }
        return Value();
    }
}

bool Value::has(const std::string& key) const
{
    for (const auto& entry : entries) {
        if (entry.first.kind == Kind::Str && entry.first.text == key) {
            return true;
        }
    }
    return false;
}

const Value& Value::operator[](const std::string& key) const
{
    for (const auto& entry : entries) {
        if (entry.first.kind == Kind::Str && entry.first.text == key) {
            return entry.second;
        }
    }
    return nilValue();
}

const Value& Value::operator[](std::size_t index) const
{
    return index < items.size() ? items[index] : nilValue();
}

std::vector<std::string> Value::keys() const
{
    std::vector<std::string> result;
    for (const auto& entry : entries) {
        result.push_back(entry.first.text);
    }
    return result;
}

std::size_t Value::size() const
{
    return kind == Kind::Map ? entries.size() : items.size();
}

Result Result::text(const std::string& value)
{
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, value);
    return raw(packed(buffer));
}

Result Result::null()
{
    return raw({0xc0}, false, true);
}

Result Result::error(const std::string& message)
{
    Result result = text(message);
    result.isError = true;
    return result;
}

Result Result::uint(std::uint64_t value)
{
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, value);
    return raw(packed(buffer));
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
    Result result;
    result.nullData = true;
    result.bytes.resize(length);
    result.isError = isError;
    result.isNull = isNull;
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
    s.handedOut = s.released = s.invalid = s.nullOutstanding = s.repliesReleased = 0;
    // Buffers still held by a test that did not give them back stay live so
    // that a late release is not miscounted as invalid.
    s.handedOut = s.liveBuffers.size();
    s.nextHandle = 1;
    s.connections.clear();
}

void NativeDouble::script(const std::string& function, Result result)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.scripts[function].push_back(std::move(result));
}

void NativeDouble::respond(const std::string& function, Handler handler)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handlers[function] = std::move(handler);
}

std::vector<Call> NativeDouble::calls() const
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.calls;
}

std::vector<Call> NativeDouble::calls(const std::string& function) const
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<Call> result;
    for (const Call& call : s.calls) {
        if (call.function == function) {
            result.push_back(call);
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

std::size_t NativeDouble::buffersHandedOut() const
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.handedOut;
}

std::size_t NativeDouble::buffersReleased() const
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.released;
}

std::size_t NativeDouble::invalidReleases() const
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.invalid;
}

std::size_t NativeDouble::repliesReleased() const
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.repliesReleased;
}

std::optional<Connection> NativeDouble::lastConnection() const
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.connections.empty()) {
        return std::nullopt;
    }
    return s.connections.back();
}

Reply NativeDouble::fireEvent(const std::vector<std::uint8_t>& event)
{
    return fireEvent(event.data(), event.size());
}

Reply NativeDouble::fireEvent(const std::uint8_t* data, std::uint64_t length)
{
    std::optional<Connection> connection = lastConnection();
    if (!connection) {
        return Reply();
    }
    return fireEvent(*connection, data, length);
}

Reply NativeDouble::fireEvent(const Connection& connection, const std::uint8_t* data, std::uint64_t length)
{
    Reply reply;
    std::uint8_t* buffer = connection.onEvent(data, length, connection.runtime);
    if (buffer == nullptr) {
        return reply;
    }
    reply.returned = true;
    for (int i = 7; i >= 0; --i) {
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
        passEchoGate();
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
        } else if (call.function == "d_halvora_connect") {
            result = Result::uint(s.nextHandle++);
        } else {
            result = Result::null();
        }
    }
    if (!result) {
        result = handler(call);
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.calls.push_back(std::move(call));
    }
    s.callsChanged.notify_all();

    NativeResult native{};
    native.length = static_cast<std::uint32_t>(result->bytes.size());
    native.isError = result->isError ? 1 : 0;
    native.isNull = result->isNull ? 1 : 0;
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.handedOut;
    if (result->nullData) {
        ++s.nullOutstanding;
    } else {
        native.data = copyBuffer(result->bytes);
        s.liveBuffers[native.data] = native.length;
    }
    return native;
}

void NativeDouble::rememberConnection(const Connection& connection)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.connections.push_back(connection);
}

void NativeDouble::release(std::uint8_t* data, std::uint64_t length)
{
    if (echoing.load(std::memory_order_relaxed)) {
        delete[] data;
        return;
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (data == nullptr) {
        if (s.nullOutstanding == 0) {
            ++s.invalid;
            return;
        }
        --s.nullOutstanding;
        ++s.released;
        return;
    }
    auto found = s.liveBuffers.find(data);
    if (found == s.liveBuffers.end() || found->second != length) {
        ++s.invalid;
        return;
    }
    s.liveBuffers.erase(found);
    delete[] data;
    ++s.released;
}

void NativeDouble::countReplyReleased()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.repliesReleased;
}

namespace {

void packFields(msgpack::packer<msgpack::sbuffer>& packer, const EndpointFields& endpoint)
{
    packer.pack_array(5);
    packer.pack(endpoint.uuid);
    packer.pack(endpoint.name);
    packer.pack(endpoint.channelName);
    packer.pack(endpoint.channelId);
    packer.pack(endpoint.endpointId);
}

} // namespace

std::vector<std::uint8_t> channelEvent(const std::string& type, const EndpointFields& endpoint,
                                       const std::string& channelName, const std::string& topic,
                                       const std::string& payload, bool payloadIsNull)
{
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(7);
    packer.pack(type);
    packFields(packer, endpoint);
    packer.pack(channelName);
    packer.pack(topic);
    packer.pack(payload);
    packer.pack(std::string());
    packer.pack(payloadIsNull);
    return packed(buffer);
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
