// The process-wide table of runtimes that the native adapter may still call
// back into. The adapter knows a runtime only by its address; an address that
// is not in the table is never dereferenced.
#pragma once

#include <memory>

namespace HalvoraAdapterApi {
class Runtime;
namespace detail {

class LiveRuntimes {
public:
    static void add(const std::shared_ptr<Runtime>& runtime);
    static void remove(const Runtime* runtime);
    // A strong reference to the live runtime at `address`, or empty. Holding
    // it keeps the runtime from being destroyed while a callback runs on it.
    static std::shared_ptr<Runtime> find(const void* address);
};

} // namespace detail
} // namespace HalvoraAdapterApi
