// Test-only access to DesktopSystem's private constructor (the friend that
// DesktopSystem.h names), until the runtime creates it.
#pragma once

#include <HalvoraAdapterApi/DesktopSystem.h>

#include <memory>

namespace HalvoraAdapterApi {
namespace detail {

struct DesktopSystemAccess {
    static std::shared_ptr<DesktopSystem> create(unsigned long long handle, FuturesManager& futuresManager,
                                                 TaskQueue& taskQueue)
    {
        return std::shared_ptr<DesktopSystem>(new DesktopSystem(handle, futuresManager, taskQueue));
    }
};

} // namespace detail
} // namespace HalvoraAdapterApi
