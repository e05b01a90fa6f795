#include "service/Service.h"

#include "core/Events.h"
#include "service/Session.h"
#include "wire/SocketPath.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace halvora::adapter::service {

namespace {

// Requests that wait (dispatches, connects that wait for a provider) each
// hold a thread; beyond this many they queue.
constexpr std::size_t maxWorkers = 256;

// How long a shutdown waits for peers to take their last event.
constexpr auto shutdownFlushLimit = std::chrono::milliseconds(2000);

// A socket file left by a service that died is removed; one that still
// answers belongs to a running service.
void clearStaleSocket(const std::string& path)
{
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        return;
    if (!S_ISSOCK(status.st_mode))
        throw std::runtime_error("'" + path + "' exists and is not a socket");
    asio::io_context probeContext;
    asio::local::stream_protocol::socket probe(probeContext);
    asio::error_code error;
    probe.connect(asio::local::stream_protocol::endpoint(path), error);
    if (!error)
        throw std::runtime_error("another runtime service already listens on '" + path + "'");
    ::unlink(path.c_str());
}

} // namespace

Service::Service(ServiceOptions options)
    : options_(std::move(options)), acceptor_(io_), signals_(io_, SIGTERM, SIGINT), workers_(maxWorkers)
{
    wire::preparePrivateDirectory(wire::directoryOf(options_.socketPath));
    clearStaleSocket(options_.socketPath);
    const asio::local::stream_protocol::endpoint endpoint(options_.socketPath);
    acceptor_.open(endpoint.protocol());
    // The socket is created owner-only, with no moment in which it is not.
    const mode_t previous = ::umask(0177);
    asio::error_code error;
    acceptor_.bind(endpoint, error);
    ::umask(previous);
    if (error)
        throw std::runtime_error("cannot bind '" + options_.socketPath + "': " + error.message());
    acceptor_.listen();
}

Service::~Service() = default;

bool Service::stopping() const
{
    return stopping_.load();
}

void Service::registerPeer(std::uint64_t handle, pid_t pid)
{
    std::lock_guard<std::mutex> lock(peersMutex_);
    peers_[handle] = pid;
}

void Service::forgetPeer(std::uint64_t handle)
{
    std::lock_guard<std::mutex> lock(peersMutex_);
    peers_.erase(handle);
}

std::uint64_t Service::callerFor(std::uint64_t claimed, pid_t pid) const
{
    if (claimed == 0)
        return 0;
    std::lock_guard<std::mutex> lock(peersMutex_);
    const auto found = peers_.find(claimed);
    return found != peers_.end() && found->second == pid ? claimed : 0;
}

void Service::accept()
{
    acceptor_.async_accept([this](const asio::error_code& error, asio::local::stream_protocol::socket socket) {
        if (error == asio::error::operation_aborted || !acceptor_.is_open())
            return;
        if (!error) {
            ucred peer{};
            socklen_t size = sizeof peer;
            if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
                peer.uid != ::geteuid()) {
                std::cerr << "halvora-runtime: refused a peer of another user" << std::endl;
                asio::error_code ignored;
                socket.close(ignored);
            } else {
                std::make_shared<Session>(*this, std::move(socket), peer.pid)->start();
            }
        }
        accept();
    });
}

void Service::requestStop()
{
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopRequested_ = true;
    }
    stopChanged_.notify_all();
}

void Service::run()
{
    signals_.async_wait([this](const asio::error_code& error, int) {
        if (!error)
            requestStop();
    });
    accept();
    std::thread ioThread([this] { io_.run(); });
    {
        std::unique_lock<std::mutex> lock(stopMutex_);
        stopChanged_.wait(lock, [this] { return stopRequested_; });
    }
    stopping_.store(true);
    asio::post(io_, [this] {
        asio::error_code ignored;
        acceptor_.close(ignored);
        signals_.cancel(ignored);
    });

    const auto deadline = std::chrono::steady_clock::now() + shutdownFlushLimit;
    for (const auto& connection : core_.detachAll(true)) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left > std::chrono::steady_clock::duration::zero())
            connection->waitClosedFor(std::chrono::duration_cast<std::chrono::milliseconds>(left));
    }
    io_.stop();
    ioThread.join();
    workers_.stop();
    core_.stopBackgroundWork();
    ::unlink(options_.socketPath.c_str());
}

} // namespace halvora::adapter::service
