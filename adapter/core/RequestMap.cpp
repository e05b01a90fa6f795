#include "core/RequestMap.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

namespace halvora::adapter {

namespace {

// Requests are small maps; no request has a container with more entries.
constexpr std::size_t maxContainerEntries = 1024;
constexpr std::size_t maxDepth = 16;
constexpr std::size_t firstZoneBlock = 512;

std::string inQuotes(const char* key)
{
    return std::string("'") + key + "'";
}

bool referenceEverything(msgpack::type::object_type, std::size_t, void*)
{
    return true;
}

} // namespace

msgpack::object_handle unpackBounded(const std::uint8_t* data, std::size_t length)
{
    const std::size_t entries = std::min(length, maxContainerEntries);
    const msgpack::unpack_limit limit(entries, entries, length, length, length, maxDepth);
    // A request or reply holds a few dozen objects; the zone's default first
    // block (8 KiB) is beyond the allocator's per-thread cache.
    auto zone = std::make_unique<msgpack::zone>(firstZoneBlock);
    std::size_t offset = 0;
    const msgpack::object value = msgpack::unpack(*zone, reinterpret_cast<const char*>(data), length, offset,
                                                  referenceEverything, nullptr, limit);
    return msgpack::object_handle(value, std::move(zone));
}

RequestMap::RequestMap(const std::uint8_t* data, std::uint64_t length)
{
    if (data == nullptr || length == 0)
        throw RequestError("the request is empty; a MessagePack map was expected");
    try {
        handle_ = unpackBounded(data, static_cast<std::size_t>(length));
    } catch (const msgpack::depth_size_overflow&) {
        throw RequestError("the request is not valid MessagePack: it is nested too deeply");
    } catch (const msgpack::size_overflow&) {
        throw RequestError("the request is not valid MessagePack: a container or string exceeds its limit");
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        throw RequestError(std::string("the request is not valid MessagePack: ") + e.what());
    }
    if (handle_.get().type != msgpack::type::MAP)
        throw RequestError("the request is not a MessagePack map");
    map_ = &handle_.get();
}

RequestMap::RequestMap(const msgpack::object& map) : map_(&map) {}

const msgpack::object* RequestMap::find(const char* key) const
{
    const std::size_t keyLength = std::strlen(key);
    const msgpack::object_map& entries = map_->via.map;
    for (std::uint32_t i = 0; i < entries.size; ++i) {
        const msgpack::object& k = entries.ptr[i].key;
        if (k.type == msgpack::type::STR && k.via.str.size == keyLength &&
            std::memcmp(k.via.str.ptr, key, keyLength) == 0)
            return &entries.ptr[i].val;
    }
    return nullptr;
}

const msgpack::object& RequestMap::require(const char* key) const
{
    const msgpack::object* value = find(key);
    if (value == nullptr)
        throw RequestError("the request lacks the key " + inQuotes(key));
    return *value;
}

std::uint64_t RequestMap::requireUnsigned(const char* key) const
{
    const msgpack::object& value = require(key);
    if (value.type != msgpack::type::POSITIVE_INTEGER)
        throw RequestError(inQuotes(key) + " must be an unsigned integer");
    return value.via.u64;
}

std::string RequestMap::requireString(const char* key) const
{
    return std::string(requireText(key));
}

std::string_view RequestMap::requireText(const char* key) const
{
    const msgpack::object& value = require(key);
    if (value.type != msgpack::type::STR)
        throw RequestError(inQuotes(key) + " must be a string");
    return std::string_view(value.via.str.ptr, value.via.str.size);
}

bool RequestMap::requireBool(const char* key) const
{
    const msgpack::object& value = require(key);
    if (value.type != msgpack::type::BOOLEAN)
        throw RequestError(inQuotes(key) + " must be a boolean");
    return value.via.boolean;
}

RequestMap RequestMap::requireMap(const char* key) const
{
    const msgpack::object& value = require(key);
    if (value.type != msgpack::type::MAP)
        throw RequestError(inQuotes(key) + " must be a map");
    return RequestMap(value);
}

std::optional<std::string> RequestMap::optionalString(const char* key) const
{
    const msgpack::object* value = find(key);
    if (value == nullptr || value->type == msgpack::type::NIL)
        return std::nullopt;
    if (value->type != msgpack::type::STR)
        throw RequestError(inQuotes(key) + " must be a string");
    return std::string(value->via.str.ptr, value->via.str.size);
}

std::optional<std::int64_t> RequestMap::optionalInteger(const char* key) const
{
    const msgpack::object* value = find(key);
    if (value == nullptr || value->type == msgpack::type::NIL)
        return std::nullopt;
    if (value->type == msgpack::type::NEGATIVE_INTEGER)
        return value->via.i64;
    if (value->type != msgpack::type::POSITIVE_INTEGER ||
        value->via.u64 > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        throw RequestError(inQuotes(key) + " must be an integer");
    return static_cast<std::int64_t>(value->via.u64);
}

std::optional<bool> RequestMap::optionalBool(const char* key) const
{
    const msgpack::object* value = find(key);
    if (value == nullptr || value->type == msgpack::type::NIL)
        return std::nullopt;
    if (value->type != msgpack::type::BOOLEAN)
        throw RequestError(inQuotes(key) + " must be a boolean");
    return value->via.boolean;
}

std::optional<RequestMap> RequestMap::optionalMap(const char* key) const
{
    const msgpack::object* value = find(key);
    if (value == nullptr || value->type == msgpack::type::NIL)
        return std::nullopt;
    if (value->type != msgpack::type::MAP)
        throw RequestError(inQuotes(key) + " must be a map");
    return RequestMap(*value);
}

} // namespace halvora::adapter
