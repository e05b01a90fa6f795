#include "runtime/LiveRuntimes.h"

#include <mutex>
#include <unordered_map>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

struct Table {
    // Guards runtimes.
    std::mutex mutex;
    std::unordered_map<const void*, std::weak_ptr<Runtime>> runtimes;
};

// Never destroyed: adapter threads may call back during static destruction.
Table& table()
{
    static Table* instance = new Table();
    return *instance;
}

} // namespace

void LiveRuntimes::add(const std::shared_ptr<Runtime>& runtime)
{
    Table& live = table();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.runtimes[runtime.get()] = runtime;
}

void LiveRuntimes::remove(const Runtime* runtime)
{
    Table& live = table();
    std::weak_ptr<Runtime> stale;
    std::lock_guard<std::mutex> lock(live.mutex);
    auto entry = live.runtimes.find(runtime);
    // A newer runtime may already occupy the same address; leave it alone.
    if (entry != live.runtimes.end() && entry->second.expired()) {
        stale = std::move(entry->second);
        live.runtimes.erase(entry);
    }
}

std::shared_ptr<Runtime> LiveRuntimes::find(const void* address)
{
    Table& live = table();
    std::lock_guard<std::mutex> lock(live.mutex);
    auto entry = live.runtimes.find(address);
    return entry == live.runtimes.end() ? nullptr : entry->second.lock();
}

} // namespace detail
} // namespace HalvoraAdapterApi
