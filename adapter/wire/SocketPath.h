// Where the runtime service listens, and the checks that keep other users
// out: a directory of our own, reachable by nobody else, holding the socket.
#pragma once

#include <string>

namespace halvora::adapter::wire {

// The service's port names its socket, so several services can run side by
// side; it is not a network port.
inline constexpr int defaultServicePort = 9696;

// "$XDG_RUNTIME_DIR/halvora" when the variable names an absolute path,
// otherwise "/tmp/halvora-<uid>".
std::string runtimeDirectory();

// "<runtimeDirectory()>/runtime-<port>.sock".
std::string socketPathForPort(int port);

// Throws std::runtime_error unless `directory` is a real directory (not a
// link) owned by this user, with no permission bits for group or others.
void checkPrivateDirectory(const std::string& directory);

// As checkPrivateDirectory, creating the directory (mode 0700) when missing.
void preparePrivateDirectory(const std::string& directory);

// The folder that holds `socketPath`.
std::string directoryOf(const std::string& socketPath);

} // namespace halvora::adapter::wire
