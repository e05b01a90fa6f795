#include <HalvoraAdapterApi/RuntimeFactory.h>

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
    std::shared_ptr<Runtime> runtime = std::make_shared<MakeSharedEnabler>(options, runtimeId);
    detail::LiveRuntimes::add(runtime);
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
