#include "runtime/LiveRuntimes.h"

#include <mutex>
#include <unordered_map>

namespace HalvoraAdapterApi {
namespace detail {

namespace {

struct Table {
    // Guards runtimes and lastContext.
    std::mutex mutex;
    std::unordered_map<std::uint64_t, std::weak_ptr<Runtime>> runtimes;
    std::uint64_t lastContext = 0;
};

// Never destroyed: adapter threads may call back during static destruction.
Table& table()
{
    static Table* instance = new Table();
    return *instance;
}

} // namespace

std::uint64_t LiveRuntimes::enroll(const std::weak_ptr<Runtime>& runtime)
{
    Table& live = table();
    std::lock_guard<std::mutex> lock(live.mutex);
    const std::uint64_t context = ++live.lastContext;
    live.runtimes.emplace(context, runtime);
    return context;
}

void LiveRuntimes::withdraw(std::uint64_t context)
{
    Table& live = table();
    std::weak_ptr<Runtime> stale;
    std::lock_guard<std::mutex> lock(live.mutex);
    auto entry = live.runtimes.find(context);
    if (entry != live.runtimes.end()) {
        stale = std::move(entry->second);
        live.runtimes.erase(entry);
    }
}

std::shared_ptr<Runtime> LiveRuntimes::find(const void* context)
{
    Table& live = table();
    const auto key = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(context));
    std::lock_guard<std::mutex> lock(live.mutex);
    auto entry = live.runtimes.find(key);
    return entry == live.runtimes.end() ? nullptr : entry->second.lock();
}

} // namespace detail
} // namespace HalvoraAdapterApi
