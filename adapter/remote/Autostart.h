// Starting the runtime service when a connect finds none: applications in
// separate processes work without anyone starting halvora-runtime by hand.
#pragma once

#include "core/Requests.h"

#include <cstdint>
#include <string>

namespace halvora::adapter::remote {

// The runtime options' "runtime_connect_options" value that means "connect
// to a running service only; never start one".
inline constexpr std::int64_t connectOnly = 1;

// When nothing answers at `socketPath`, starts halvora-runtime for the
// connect's port (detached, with its "arguments" appended) and waits a
// bounded time until it answers. Returns why it could not, or an empty text
// when a service answers or the connect should go ahead and report its own
// failure (connect only, a directory that is not private, ...).
std::string startServiceIfAbsent(const ConnectRequest& connect, const std::string& socketPath);

} // namespace halvora::adapter::remote
