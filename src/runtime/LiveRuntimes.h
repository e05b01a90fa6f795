// The process-wide table of connections whose events the native adapter may
// still deliver. The adapter hands every event back with the context that the
// connect request carried; that context is a number drawn once per connect and
// never reused, so no event can reach a runtime other than the one that
// connected, whatever address a later runtime is given.
#pragma once

#include <cstdint>
#include <memory>

#include <HalvoraAdapterApi/detail/Forward.h>

namespace HalvoraAdapterApi {
class Channels;
class Runtime;
namespace detail {

class LiveRuntimes {
public:
    // A fresh context for a connect of `runtime`.
    static std::uint64_t enroll(const std::weak_ptr<Runtime>& runtime);
    // Forgets a context whose connection is closed or never came about.
    static void withdraw(std::uint64_t context);
    // A strong reference to the live runtime behind `context`, or empty.
    // Holding it keeps the runtime from being destroyed while a callback runs on it.
    static std::shared_ptr<Runtime> find(const void* context);
};

// What the event intake and the factory need of a runtime beyond its public face.
struct RuntimeAccess {
    // Whether events carrying `context` belong to the runtime's current
    // connection; if so, `channels` is its channels (empty while none were
    // asked for, when no channel end can be waiting for the event). One look
    // under the runtime's lock, as this runs for every event.
    static bool acceptsEventsOf(const Runtime& runtime, std::uint64_t context, std::shared_ptr<Channels>& channels);
    static TaskQueue& taskQueue(Runtime& runtime);
    // Called once by the factory on the runtime it has just created.
    static void adopt(const std::shared_ptr<Runtime>& runtime);
};

} // namespace detail
} // namespace HalvoraAdapterApi
