#include <HalvoraAdapterApi/RuntimeFactory.h>

#include "detail/Reaper.h"
#include "runtime/LiveRuntimes.h"

#include <utility>

namespace HalvoraAdapterApi {

namespace {

using RuntimeMap = std::map<std::string, std::shared_ptr<Runtime>>;

} // namespace

RuntimeFactory::RuntimeFactory() = default;

RuntimeFactory::RuntimeFactory(const RuntimeFactory& other)
{
    std::lock_guard<std::mutex> lock(other.runtimesMutex);
    runtimes = other.runtimes;
}

RuntimeFactory::RuntimeFactory(RuntimeFactory&& other)
{
    std::lock_guard<std::mutex> lock(other.runtimesMutex);
    runtimes.swap(other.runtimes);
}

RuntimeFactory& RuntimeFactory::operator=(const RuntimeFactory& other)
{
    if (this == &other) {
        return *this;
    }
    // Runtimes released here may be destroyed, which joins their workers:
    // that happens after both locks are gone.
    RuntimeMap released;
    {
        std::scoped_lock lock(runtimesMutex, other.runtimesMutex);
        released.swap(runtimes);
        runtimes = other.runtimes;
    }
    return *this;
}

RuntimeFactory& RuntimeFactory::operator=(RuntimeFactory&& other)
{
    if (this == &other) {
        return *this;
    }
    RuntimeMap released;
    {
        std::scoped_lock lock(runtimesMutex, other.runtimesMutex);
        released.swap(runtimes);
        runtimes.swap(other.runtimes);
    }
    return *this;
}

RuntimeFactory::~RuntimeFactory() = default;

std::shared_ptr<Runtime> RuntimeFactory::getRuntimeInstance(const RuntimeOptions& options)
{
    struct MakeSharedEnabler : Runtime {
        MakeSharedEnabler(RuntimeOptions runtimeOptions, std::string id)
            : Runtime(std::move(runtimeOptions), std::move(id))
        {}
    };
    const std::string runtimeId = generateRuntimeId(options);
    std::lock_guard<std::mutex> lock(runtimesMutex);
    auto known = runtimes.find(runtimeId);
    if (known != runtimes.end()) {
        return known->second;
    }
    // The last reference may go on a thread that the teardown would wait for
    // (an event callback of the runtime, its worker); there the teardown is
    // handed to the reaper, elsewhere it runs at once.
    std::shared_ptr<Runtime> runtime(new MakeSharedEnabler(options, runtimeId), [](Runtime* released) {
        auto* created = static_cast<MakeSharedEnabler*>(released);
        if (detail::LibraryThread::current()) {
            try {
                detail::Reaper::instance().post([created] { delete created; });
                return;
            } catch (...) {
                // Out of resources: tearing down here is all that is left.
            }
        }
        delete created;
    });
    detail::RuntimeAccess::adopt(runtime);
    runtimes.emplace(runtimeId, runtime);
    return runtime;
}

std::string RuntimeFactory::generateRuntimeId(const RuntimeOptions& options)
{
    std::string runtimeId = options.uuid + "/" + options.version;
    if (!options.securityRealm.empty()) {
        runtimeId += "/" + options.securityRealm;
    }
    return runtimeId;
}

} // namespace HalvoraAdapterApi
