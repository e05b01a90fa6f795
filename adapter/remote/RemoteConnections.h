// The runtimes of this process that are connected to a runtime service,
// by the adapter handle each was given.
#pragma once

#include "NativeAdapter.h"
#include "core/Result.h"
#include "remote/RemoteConnection.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace halvora::adapter::remote {

class RemoteConnections {
public:
    Result connect(std::uint64_t handle, const std::string& socketPath, const std::uint8_t* request,
                   std::uint64_t length, bool heartbeats, HalvoraEventCallback onEvent,
                   HalvoraReleaseCallback releaseReply, void* runtime);
    // The connection a request names by its "handle", or null when it names
    // none of ours (the request is then the embedded runtime's to judge).
    std::shared_ptr<RemoteConnection> forRequest(const std::uint8_t* request, std::uint64_t length) const;
    // False for a handle that is not ours.
    bool disconnect(std::uint64_t handle);
    // Every connection ends: with `announce` its runtime hears
    // "AdapterDisconnected". Threads are joined within `limit`.
    void endAll(bool announce, std::chrono::milliseconds limit);

private:
    void joinRetired(std::chrono::milliseconds limit);

    mutable std::mutex connectionsMutex_; // guards connections_ and retired_
    std::map<std::uint64_t, std::shared_ptr<RemoteConnection>> connections_;
    // Ended where their event thread could not be joined (inside a handler).
    std::vector<std::shared_ptr<RemoteConnection>> retired_;
    std::atomic<std::size_t> count_{0};
};

} // namespace halvora::adapter::remote
