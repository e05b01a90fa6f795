#include "remote/RemoteConnections.h"

#include <msgpack.hpp>

#include <algorithm>
#include <cstring>

namespace halvora::adapter::remote {

namespace {

bool inPlace(msgpack::type::object_type, std::size_t, void*)
{
    return true;
}

// The request's "handle", read without copying its payload out: every call
// of a connected runtime passes through here.
std::uint64_t handleOf(const std::uint8_t* request, std::uint64_t length)
{
    if (request == nullptr || length == 0)
        return 0;
    const auto size = static_cast<std::size_t>(length);
    const std::size_t entries = std::min<std::size_t>(size, 1024); // as the request decoder allows
    const msgpack::unpack_limit limit(entries, entries, size, size, size, 16);
    const msgpack::object_handle unpacked =
        msgpack::unpack(reinterpret_cast<const char*>(request), size, inPlace, nullptr, limit);
    const msgpack::object& map = unpacked.get();
    if (map.type != msgpack::type::MAP)
        return 0;
    for (std::uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack::object& key = map.via.map.ptr[i].key;
        const msgpack::object& value = map.via.map.ptr[i].val;
        if (key.type == msgpack::type::STR && key.via.str.size == 6 && std::memcmp(key.via.str.ptr, "handle", 6) == 0)
            return value.type == msgpack::type::POSITIVE_INTEGER ? value.via.u64 : 0;
    }
    return 0;
}

} // namespace

Result RemoteConnections::connect(std::uint64_t handle, const std::string& socketPath, const std::uint8_t* request,
                                  std::uint64_t length, bool heartbeats, HalvoraEventCallback onEvent,
                                  HalvoraReleaseCallback releaseReply, void* runtime)
{
    joinRetired(std::chrono::milliseconds(0));
    auto connection = std::make_shared<RemoteConnection>(socketPath, onEvent, releaseReply, runtime);
    Result opened = connection->open(request, length, heartbeats);
    if (opened.isError())
        return opened;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.emplace(handle, std::move(connection));
        count_.store(connections_.size());
    }
    return Result::ofNumber(handle);
}

std::shared_ptr<RemoteConnection> RemoteConnections::forRequest(const std::uint8_t* request, std::uint64_t length) const
{
    if (count_.load() == 0)
        return nullptr;
    std::uint64_t handle = 0;
    try {
        handle = handleOf(request, length);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception&) {
        return nullptr; // the embedded runtime says what is wrong with it
    }
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    const auto found = connections_.find(handle);
    return found == connections_.end() ? nullptr : found->second;
}

bool RemoteConnections::disconnect(std::uint64_t handle)
{
    std::shared_ptr<RemoteConnection> connection;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        const auto found = connections_.find(handle);
        if (found == connections_.end())
            return false;
        connection = std::move(found->second);
        connections_.erase(found);
        count_.store(connections_.size());
    }
    connection->disconnect();
    // As in-process: the event thread has ended when disconnect returns,
    // unless disconnect runs on it.
    if (!connection->joinFor(std::chrono::seconds(10))) {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        retired_.push_back(std::move(connection));
    }
    joinRetired(std::chrono::milliseconds(0));
    return true;
}

void RemoteConnections::endAll(bool announce, std::chrono::milliseconds limit)
{
    std::vector<std::shared_ptr<RemoteConnection>> ending;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        for (auto& entry : connections_)
            ending.push_back(std::move(entry.second));
        connections_.clear();
        count_.store(0);
        ending.insert(ending.end(), retired_.begin(), retired_.end());
        retired_.clear();
    }
    for (const auto& connection : ending)
        connection->end(announce);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::vector<std::shared_ptr<RemoteConnection>> running;
    for (const auto& connection : ending) {
        const auto left =
            std::max(std::chrono::steady_clock::duration::zero(), deadline - std::chrono::steady_clock::now());
        if (!connection->joinFor(std::chrono::duration_cast<std::chrono::milliseconds>(left)))
            running.push_back(connection);
    }
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    retired_.insert(retired_.end(), running.begin(), running.end());
}

void RemoteConnections::joinRetired(std::chrono::milliseconds limit)
{
    std::vector<std::shared_ptr<RemoteConnection>> retired;
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        retired.swap(retired_);
    }
    std::vector<std::shared_ptr<RemoteConnection>> running;
    for (const auto& connection : retired)
        if (!connection->finished() || !connection->joinFor(limit))
            running.push_back(connection);
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    retired_.insert(retired_.end(), running.begin(), running.end());
}

} // namespace halvora::adapter::remote
