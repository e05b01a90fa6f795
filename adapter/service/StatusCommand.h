// `halvora-runtime status`: asks a running service what it serves.
#pragma once

#include <string>

namespace halvora::adapter::service {

// Prints the status of the service at `socketPath`, as text or as the
// service's JSON. Returns the process exit status: 0, or 1 with a line on
// standard error when no service answers.
int printStatus(const std::string& socketPath, bool json);

} // namespace halvora::adapter::service
