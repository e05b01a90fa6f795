#pragma once

#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/Runtime.h>
#include <HalvoraAdapterApi/RuntimeOptions.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace HalvoraAdapterApi {

/// @brief The application's entry point: one Runtime per runtime identity,
/// kept alive for as long as the factory exists. Safe to use from several
/// threads at once.
class HALVORA_ADAPTER_API RuntimeFactory {
public:
    /// @brief An empty factory.
    RuntimeFactory();
    /// @brief A factory holding the same Runtime objects as @p other.
    RuntimeFactory(const RuntimeFactory& other);
    /// @brief Takes over the runtimes of @p other, which is left empty and usable.
    RuntimeFactory(RuntimeFactory&& other);
    /// @brief Releases this factory's runtimes, then holds those of @p other.
    RuntimeFactory& operator=(const RuntimeFactory& other);
    /// @brief Releases this factory's runtimes, then takes over those of @p other.
    RuntimeFactory& operator=(RuntimeFactory&& other);
    /// @brief Releases the runtimes; one that nothing else holds is destroyed,
    /// which closes its connection without notifying its subscribers.
    ~RuntimeFactory();

    /// @brief The runtime for the identity of @p options, created on first
    /// request; later requests return it unchanged, whatever their other options.
    std::shared_ptr<Runtime> getRuntimeInstance(const RuntimeOptions& options);

private:
    /// @cond INTERNAL
    static std::string generateRuntimeId(const RuntimeOptions& options);

    // Guards runtimes.
    mutable std::mutex runtimesMutex;
    std::map<std::string, std::shared_ptr<Runtime>> runtimes;

    friend struct detail::RuntimeAccess;
    /// @endcond
};

} // namespace HalvoraAdapterApi
