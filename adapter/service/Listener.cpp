#include "service/Listener.h"

#include "wire/SocketPath.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#if defined(HALVORA_WITH_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace halvora::adapter::service {

namespace {

// A service that is still stopping holds the lock for this long at most
// before a new one gives up.
constexpr auto lockWaitLimit = std::chrono::seconds(5);

std::runtime_error systemError(const std::string& what)
{
    return std::runtime_error(what + ": " + std::generic_category().message(errno));
}

sockaddr_un addressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("the socket path '" + path + "' is too long");
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

bool answers(const std::string& path)
{
    const sockaddr_un address = addressOf(path);
    const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return false;
    const bool connected = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(probe);
    return connected;
}

// Services that start at once (two applications starting one each) or while
// an idle one is stopping take turns here; whoever holds the lock may
// replace a socket that does not answer, since no other service can be
// between binding and listening on it.
int lockPath(const std::string& path)
{
    const std::string lockFile = path + ".lock";
    const int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw systemError("cannot open '" + lockFile + "'");
    const auto deadline = std::chrono::steady_clock::now() + lockWaitLimit;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        if (!taken || answers(path) || std::chrono::steady_clock::now() > deadline) {
            ::close(fd);
            throw std::runtime_error(taken ? "another runtime service already listens on '" + path + "'"
                                           : "cannot lock '" + lockFile + "'");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return fd;
}

void clearStaleSocket(const std::string& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return;
    if (!S_ISSOCK(status.st_mode))
        throw std::runtime_error("'" + path + "' exists and is not a socket");
    if (answers(path))
        throw std::runtime_error("another runtime service already listens on '" + path + "'");
    ::unlink(path.c_str());
}

int passedSocketCount()
{
#if defined(HALVORA_WITH_SYSTEMD)
    const int count = ::sd_listen_fds(1);
    if (count < 0)
        throw std::runtime_error("cannot take the sockets passed by the service manager: " +
                                 std::generic_category().message(-count));
    return count;
#else
    // The same protocol without libsystemd: the variables name this process
    // and the sockets start at descriptor 3.
    const char* pid = std::getenv("LISTEN_PID"); // NOLINT(concurrency-mt-unsafe): before any thread
    const char* fds = std::getenv("LISTEN_FDS"); // NOLINT(concurrency-mt-unsafe)
    const bool forUs = pid != nullptr && fds != nullptr && std::strtol(pid, nullptr, 10) == ::getpid();
    ::unsetenv("LISTEN_PID");     // NOLINT(concurrency-mt-unsafe): children must not take them for their own
    ::unsetenv("LISTEN_FDS");     // NOLINT(concurrency-mt-unsafe)
    ::unsetenv("LISTEN_FDNAMES"); // NOLINT(concurrency-mt-unsafe)
    if (!forUs)
        return 0;
    const long count = std::strtol(fds, nullptr, 10);
    for (long fd = 3; fd < 3 + count; ++fd)
        ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(count);
#endif
}

bool isListeningUnixStream(int fd)
{
    int value = 0;
    socklen_t size = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &value, &size) != 0 || value != AF_UNIX)
        return false;
    size = sizeof value;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &value, &size) != 0 || value != SOCK_STREAM)
        return false;
    size = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &size) == 0 && value != 0;
}

std::string boundPath(int fd)
{
    sockaddr_un address{};
    socklen_t size = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 || address.sun_path[0] == '\0')
        return "(unnamed socket)";
    return std::string(address.sun_path, strnlen(address.sun_path, sizeof address.sun_path));
}

} // namespace

Listener activatedListener()
{
    const int count = passedSocketCount();
    if (count == 0)
        return {};
    constexpr int firstPassed = 3;
    if (count != 1 || !isListeningUnixStream(firstPassed))
        throw std::runtime_error("the service manager must pass exactly one listening Unix stream socket");
    Listener listener;
    listener.fd = firstPassed;
    listener.path = boundPath(firstPassed);
    listener.activated = true;
    return listener;
}

Listener bindListener(const std::string& path)
{
    wire::preparePrivateDirectory(wire::directoryOf(path));
    const sockaddr_un address = addressOf(path);
    Listener listener;
    listener.path = path;
    listener.lockFd = lockPath(path);
    try {
        clearStaleSocket(path);
        listener.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener.fd < 0)
            throw systemError("cannot create a socket");
        // The socket is created owner-only, with no moment in which it is not.
        const mode_t previous = ::umask(0177);
        const int bound = ::bind(listener.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::umask(previous);
        if (bound != 0)
            throw systemError("cannot bind '" + path + "'");
        if (::listen(listener.fd, SOMAXCONN) != 0)
            throw systemError("cannot listen on '" + path + "'");
    } catch (...) {
        if (listener.fd >= 0)
            ::close(listener.fd);
        ::close(listener.lockFd);
        throw;
    }
    return listener;
}

} // namespace halvora::adapter::service
