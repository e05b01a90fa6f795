#pragma once

#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/Runtime.h>
#include <HalvoraAdapterApi/RuntimeOptions.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace HalvoraAdapterApi {

// The application's entry point: one Runtime per runtime identity, kept alive
// for as long as the factory exists. Safe to use from several threads.
class HALVORA_ADAPTER_API RuntimeFactory {
public:
    RuntimeFactory();
    RuntimeFactory(const RuntimeFactory& other);
    RuntimeFactory(RuntimeFactory&& other);
    RuntimeFactory& operator=(const RuntimeFactory& other);
    RuntimeFactory& operator=(RuntimeFactory&& other);
    ~RuntimeFactory();

    std::shared_ptr<Runtime> getRuntimeInstance(const RuntimeOptions& options);

private:
    static std::string generateRuntimeId(const RuntimeOptions& options);

    // Guards runtimes.
    mutable std::mutex runtimesMutex;
    std::map<std::string, std::shared_ptr<Runtime>> runtimes;

    friend struct detail::RuntimeAccess;
};

} // namespace HalvoraAdapterApi
