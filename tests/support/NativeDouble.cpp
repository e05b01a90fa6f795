#include "NativeDouble.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <iterator>
#include <map>
#include <mutex>

namespace HalvoraTest {

namespace {

// Read without the state's lock: a bypassed call must cost no more than its answer.
std::atomic<NativeDouble::Bypass> bypass{nullptr};

struct State {
    mutable std::mutex mutex;
    std::vector<Call> calls;
    std::map<std::string, std::deque<Result>> scripts;
    std::map<std::string, NativeDouble::Handler> handlers;
    std::map<const std::uint8_t*, std::uint64_t> liveBuffers;
    std::size_t nullOutstanding = 0;
    std::size_t invalid = 0;
    std::uint64_t nextHandle = 1;
    std::vector<Connection> connections;
};
// Never destroyed, so that buffers given back while the process exits still find it.
State& s = *new State;

} // namespace

NativeDouble& NativeDouble::instance()
{
    static NativeDouble nativeDouble;
    return nativeDouble;
}

void NativeDouble::reset()
{
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.clear();
    s.scripts.clear();
    s.handlers.clear();
    s.connections.clear();
    // Buffers a test did not give back stay live, so a late release is not miscounted as invalid.
    s.invalid = s.nullOutstanding = 0;
    s.nextHandle = 1;
}

void NativeDouble::script(const std::string& function, Result result)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    s.scripts[function].push_back(std::move(result));
}

void NativeDouble::respond(const std::string& function, Handler handler)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handlers[function] = std::move(handler);
}

std::vector<Call> NativeDouble::calls(const std::string& function) const
{
    std::lock_guard<std::mutex> lock(s.mutex);
    std::vector<Call> result;
    std::copy_if(s.calls.begin(), s.calls.end(), std::back_inserter(result),
                 [&](const Call& call) { return function.empty() || call.function == function; });
    return result;
}

#define HALVORA_DOUBLE_COUNTER(name, expression)                                                                       \
    std::size_t NativeDouble::name() const                                                                             \
    {                                                                                                                  \
        std::lock_guard<std::mutex> lock(s.mutex);                                                                     \
        return expression;                                                                                             \
    }
HALVORA_DOUBLE_COUNTER(outstandingBuffers, s.liveBuffers.size() + s.nullOutstanding)
HALVORA_DOUBLE_COUNTER(invalidReleases, s.invalid)

std::optional<Connection> NativeDouble::lastConnection() const
{
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.connections.empty() ? std::nullopt : std::optional<Connection>(s.connections.back());
}

Reply NativeDouble::fireEvent(const std::vector<std::uint8_t>& event)
{
    const std::optional<Connection> connection = lastConnection();
    return connection ? fireEvent(*connection, event) : Reply();
}

Reply NativeDouble::fireEvent(const Connection& connection, const std::vector<std::uint8_t>& event)
{
    Reply reply;
    std::uint8_t* buffer = connection.onEvent(event.data(), event.size(), connection.runtime);
    if (buffer == nullptr)
        return reply;
    reply.returned = true;
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i) // the length prefix is little-endian
        length = (length << 8) | buffer[i];
    reply.bytes.assign(buffer + 8, buffer + 8 + length);
    reply.map = decoded(reply.bytes);
    connection.releaseReply(buffer);
    return reply;
}

void NativeDouble::setBypass(Bypass answer)
{
    bypass.store(answer);
}

NativeResult NativeDouble::handle(const char* function, const std::uint8_t* request, std::uint64_t length)
{
    const Bypass answer = bypass.load(std::memory_order_relaxed);
    if (answer != nullptr && request != nullptr && std::strcmp(function, "d_halvora_connect") != 0)
        return answer(request, length);
    Call call;
    call.function = function;
    call.nullRequest = request == nullptr;
    if (request != nullptr) {
        call.bytes.assign(request, request + length);
        call.request = decoded(call.bytes);
    }
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
    if (!result)
        result = handler(call); // without the lock: a handler may fire events or wait
    std::lock_guard<std::mutex> lock(s.mutex);
    s.calls.push_back(std::move(call));
    NativeResult native{};
    native.length = static_cast<std::uint32_t>(result->bytes.size());
    native.isError = result->isError ? 1 : 0;
    native.isNull = result->isNull ? 1 : 0;
    if (result->nullData) {
        ++s.nullOutstanding;
    } else {
        native.data = new std::uint8_t[result->bytes.empty() ? 1 : result->bytes.size()];
        std::copy(result->bytes.begin(), result->bytes.end(), native.data);
        s.liveBuffers[native.data] = native.length;
    }
    return native;
}

void NativeDouble::rememberConnection(const Connection& connection)
{
    std::lock_guard<std::mutex> lock(s.mutex);
    s.connections.push_back(connection);
}

void NativeDouble::release(std::uint8_t* data, std::uint64_t length)
{
    if (bypass.load(std::memory_order_relaxed) != nullptr) {
        delete[] data;
        return;
    }
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
}

} // namespace HalvoraTest
