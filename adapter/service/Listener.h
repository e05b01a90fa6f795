// The service's listening socket: either handed over by the service manager
// (socket activation) or bound here, in the private runtime directory, with
// a lock that lets exactly one service own a socket path at a time.
#pragma once

#include <string>

namespace halvora::adapter::service {

struct Listener {
    int fd = -1;
    std::string path;
    // Handed over by the service manager, which owns the socket file: the
    // service neither replaces nor removes it.
    bool activated = false;
    int lockFd = -1; // held for the life of the process
};

// The socket the service manager passed (LISTEN_FDS for this process), or
// a Listener with fd -1 when none was passed. Throws std::runtime_error when
// what was passed is not one listening Unix stream socket.
Listener activatedListener();

// Prepares the private directory, takes the path's lock, replaces a stale
// socket and binds a fresh one (0600), listening. Throws std::runtime_error
// when that fails or another service already listens there.
Listener bindListener(const std::string& path);

} // namespace halvora::adapter::service
