// The in-process transport: runtimes of this process connect to one shared
// routing core through the exported C functions.
#pragma once

#include "NativeAdapter.h"
#include "core/Result.h"
#include "core/RuntimeCore.h"
#include "embedded/EmbeddedConnection.h"
#include "remote/RemoteConnections.h"

#include <cstdint>

namespace halvora::adapter::embedded {

class EmbeddedAdapter {
public:
    // The process-wide instance. It is never destroyed, so that calls and
    // event threads that outlive static destruction find it intact.
    static EmbeddedAdapter& instance();

    Result connect(const std::uint8_t* request, std::uint64_t length, HalvoraEventCallback onEvent,
                   HalvoraReleaseCallback releaseReply);
    Result disconnect(const std::uint8_t* request, std::uint64_t length);
    void shutdown();
    // At process exit: closes every connection without events and joins the
    // threads that end within a bounded time, so exit can neither hang nor
    // run a thread into destroyed objects of the adapter.
    void closeForExit();

    RuntimeCore& core() { return core_; }
    remote::RemoteConnections& remotes() { return remotes_; }
    static CallerContext caller();

private:
    EmbeddedAdapter() = default;

    RuntimeCore core_;
    RetiredConnections retired_;
    remote::RemoteConnections remotes_;
};

} // namespace halvora::adapter::embedded
