#include "FakeRuntime.h"

#include <msgpack.hpp>
#include <nlohmann/json.hpp>

#include <cstring>
#include <set>

namespace halvora::adapter::testing {

namespace {

struct ReplyLedger {
    std::mutex mutex; // guards outstanding and bad
    std::set<std::uint8_t*> outstanding;
    std::size_t bad = 0;
};

// Leaked on purpose: event threads may still release replies while the process exits.
ReplyLedger& replies()
{
    static ReplyLedger* ledger = new ReplyLedger;
    return *ledger;
}

template <typename Value>
std::vector<std::uint8_t> packed(const Value& value)
{
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, value);
    return std::vector<std::uint8_t>(buffer.data(), buffer.data() + buffer.size());
}

std::string stringAt(const msgpack::object& array, std::uint32_t index)
{
    if (array.type != msgpack::type::ARRAY || index >= array.via.array.size)
        return {};
    const msgpack::object& item = array.via.array.ptr[index];
    return item.type == msgpack::type::STR ? std::string(item.via.str.ptr, item.via.str.size) : std::string();
}

ReceivedEvent decodeEvent(const std::uint8_t* data, std::uint64_t length)
{
    ReceivedEvent event;
    event.thread = std::this_thread::get_id();
    const msgpack::object_handle handle = msgpack::unpack(reinterpret_cast<const char*>(data), length);
    const msgpack::object& array = handle.get();
    if (array.type != msgpack::type::ARRAY)
        return event;
    event.elements = array.via.array.size;
    event.type = stringAt(array, 0);
    if (array.via.array.size > 1)
        for (std::uint32_t i = 0; i < 5; ++i)
            event.endpoint[i] = stringAt(array.via.array.ptr[1], i);
    event.channelName = stringAt(array, 2);
    event.topic = stringAt(array, 3);
    event.payload = stringAt(array, 4);
    event.reserved = stringAt(array, 5);
    if (array.via.array.size > 6 && array.via.array.ptr[6].type == msgpack::type::BOOLEAN)
        event.payloadIsNull = array.via.array.ptr[6].via.boolean;
    return event;
}

std::uint8_t* makeReplyBuffer(const Reply& reply)
{
    std::vector<std::uint8_t> map;
    if (reply.kind == Reply::Kind::Garbage) {
        map = {0xc1, 0xc1, 0xc1};
    } else {
        msgpack::sbuffer buffer;
        msgpack::packer<msgpack::sbuffer> out(buffer);
        out.pack_map(3);
        out.pack(std::string("is_error"));
        out.pack(reply.kind == Reply::Kind::Error);
        out.pack(std::string("is_null"));
        out.pack(reply.kind == Reply::Kind::Null);
        out.pack(std::string("payload_json"));
        out.pack(reply.payload);
        map.assign(buffer.data(), buffer.data() + buffer.size());
    }
    auto* bytes = new std::uint8_t[8 + map.size()];
    std::uint64_t length = map.size();
    for (int i = 0; i < 8; ++i, length >>= 8)
        bytes[i] = static_cast<std::uint8_t>(length & 0xff);
    std::memcpy(bytes + 8, map.data(), map.size());
    ReplyLedger& ledger = replies();
    std::lock_guard<std::mutex> lock(ledger.mutex);
    ledger.outstanding.insert(bytes);
    return bytes;
}

} // namespace

Outcome callAdapter(AdapterFunction function, const std::vector<std::uint8_t>& request)
{
    const NativeResult result = function(request.empty() ? nullptr : request.data(), request.size());
    Outcome outcome;
    try {
        const msgpack::object_handle handle =
            msgpack::unpack(reinterpret_cast<const char*>(result.data), result.length);
        const msgpack::object& value = handle.get();
        if (result.isError && value.type == msgpack::type::STR)
            outcome = {Outcome::Kind::Error, value.as<std::string>(), 0};
        else if (result.isError)
            outcome = {Outcome::Kind::Undecodable, {}, 0};
        else if (result.isNull)
            outcome = {Outcome::Kind::Null, {}, 0};
        else if (value.type == msgpack::type::STR)
            outcome = {Outcome::Kind::Text, value.as<std::string>(), 0};
        else if (value.type == msgpack::type::POSITIVE_INTEGER)
            outcome = {Outcome::Kind::Number, {}, value.as<std::uint64_t>()};
    } catch (const std::exception&) {
        outcome = {Outcome::Kind::Undecodable, {}, 0};
    }
    deallocate_rust_buffer(result.data, result.length);
    return outcome;
}

std::vector<std::uint8_t> RequestBuilder::bytes() const
{
    return nlohmann::json::to_msgpack(entries_);
}

FakeRuntime::FakeRuntime(std::string uuid) : uuid_(std::move(uuid)) {}

FakeRuntime::~FakeRuntime()
{
    if (handle_ != 0)
        disconnect();
}

std::uint64_t FakeRuntime::connect()
{
    const auto request = RequestBuilder()
                             .addMap("runtime_options", RequestBuilder().add("uuid", uuid_).add("version", "1"))
                             .add("runtime_ptr", static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(this)))
                             .add("version", "1.2.1.34")
                             .bytes();
    const NativeResult result =
        d_halvora_connect(request.data(), request.size(), &FakeRuntime::onEvent, &FakeRuntime::releaseReply);
    const msgpack::object_handle decoded = msgpack::unpack(reinterpret_cast<const char*>(result.data), result.length);
    if (!result.isError && decoded.get().type == msgpack::type::POSITIVE_INTEGER)
        handle_ = decoded.get().as<std::uint64_t>();
    deallocate_rust_buffer(result.data, result.length);
    return handle_;
}

Outcome FakeRuntime::disconnect()
{
    const Outcome outcome = callAdapter(d_halvora_disconnect, RequestBuilder().add("handle", handle_).bytes());
    handle_ = 0;
    return outcome;
}

void FakeRuntime::answer(Handler handler)
{
    std::lock_guard<std::mutex> lock(eventsMutex_);
    handler_ = std::move(handler);
}

std::vector<ReceivedEvent> FakeRuntime::events() const
{
    std::lock_guard<std::mutex> lock(eventsMutex_);
    return events_;
}

std::vector<ReceivedEvent> FakeRuntime::eventsOf(const std::string& type) const
{
    std::vector<ReceivedEvent> matching;
    for (const ReceivedEvent& event : events())
        if (event.type == type)
            matching.push_back(event);
    return matching;
}

std::optional<ReceivedEvent> FakeRuntime::waitForEvent(const std::string& type, std::size_t count) const
{
    std::unique_lock<std::mutex> lock(eventsMutex_);
    std::optional<ReceivedEvent> first;
    eventArrived_.wait_for(lock, patience, [&] {
        std::size_t seen = 0;
        for (const ReceivedEvent& event : events_)
            if (event.type == type && ++seen == 1)
                first = event;
        return seen >= count;
    });
    std::size_t seen = 0;
    for (const ReceivedEvent& event : events_)
        seen += event.type == type ? 1 : 0;
    return seen >= count ? first : std::nullopt;
}

Outcome FakeRuntime::createProvider(const std::string& channel) const
{
    return callAdapter(d_halvora_channels_create_provider,
                       RequestBuilder().add("handle", handle_).add("provider_name", channel).bytes());
}

Outcome FakeRuntime::connectToProvider(const std::string& channel, bool wait) const
{
    return callAdapter(d_halvora_channels_connect_to_provider,
                       RequestBuilder().add("handle", handle_).add("provider_name", channel).add("wait", wait).bytes());
}

Outcome FakeRuntime::disconnectFromProvider(const std::string& clientId) const
{
    return callAdapter(d_halvora_channels_disconnect_from_provider,
                       RequestBuilder().add("handle", handle_).add("client_id", clientId).bytes());
}

Outcome FakeRuntime::dispatch(const std::string& clientId, const std::string& topic,
                              std::optional<std::string> payload) const
{
    return callAdapter(d_halvora_channels_client_dispatch, RequestBuilder()
                                                               .add("handle", handle_)
                                                               .add("client_id", clientId)
                                                               .add("payload_json", payload.value_or(""))
                                                               .add("topic", topic)
                                                               .add("is_null", !payload.has_value())
                                                               .bytes());
}

Outcome FakeRuntime::dispatchToEndpoint(const std::string& providerId, const std::string& endpointId,
                                        const std::string& topic, std::optional<std::string> payload) const
{
    const auto destination = RequestBuilder()
                                 .add("channel_id", "")
                                 .add("channel_name", "")
                                 .add("endpoint_id", endpointId)
                                 .add("name", "")
                                 .add("uuid", "");
    return callAdapter(d_halvora_channels_client_dispatch_to_endpoint, RequestBuilder()
                                                                           .add("handle", handle_)
                                                                           .addMap("destination", destination)
                                                                           .add("source", providerId)
                                                                           .add("payload_json", payload.value_or(""))
                                                                           .add("topic", topic)
                                                                           .add("is_null", !payload.has_value())
                                                                           .bytes());
}

Outcome FakeRuntime::launch(const std::string& manifestUrl) const
{
    return callAdapter(
        d_halvora_desktop_launch_manifest,
        RequestBuilder().add("handle", handle_).add("manifest_url", manifestUrl).addNil("rvm_options").bytes());
}

std::size_t FakeRuntime::outstandingReplies()
{
    ReplyLedger& ledger = replies();
    std::lock_guard<std::mutex> lock(ledger.mutex);
    return ledger.outstanding.size();
}

std::size_t FakeRuntime::badReleases()
{
    ReplyLedger& ledger = replies();
    std::lock_guard<std::mutex> lock(ledger.mutex);
    return ledger.bad;
}

std::uint8_t* FakeRuntime::onEvent(const std::uint8_t* data, std::uint64_t length, void* runtime)
{
    return static_cast<FakeRuntime*>(runtime)->handle(data, length);
}

void FakeRuntime::releaseReply(std::uint8_t* reply)
{
    ReplyLedger& ledger = replies();
    {
        std::lock_guard<std::mutex> lock(ledger.mutex);
        if (ledger.outstanding.erase(reply) == 0) {
            ++ledger.bad;
            return;
        }
    }
    delete[] reply;
}

std::uint8_t* FakeRuntime::handle(const std::uint8_t* data, std::uint64_t length)
{
    ReceivedEvent event = decodeEvent(data, length);
    Handler handler;
    {
        std::lock_guard<std::mutex> lock(eventsMutex_);
        events_.push_back(event);
        handler = handler_;
    }
    eventArrived_.notify_all();
    const Reply reply = handler ? handler(event) : Reply::null();
    return reply.kind == Reply::Kind::NoReply ? nullptr : makeReplyBuffer(reply);
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace halvora::adapter::testing
