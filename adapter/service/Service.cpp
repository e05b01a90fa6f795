#include "service/Service.h"

#include "service/Log.h"
#include "wire/SocketPath.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace halvora::adapter::service {

namespace {

// How long a shutdown waits for peers to take their last event.
constexpr auto shutdownFlushLimit = std::chrono::milliseconds(2000);

// At the descriptor limit (or another failing accept) the acceptor waits
// this long before it tries again, instead of spinning.
constexpr auto acceptBackoff = std::chrono::milliseconds(100);

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
    : options_(std::move(options)), acceptor_(io_), signals_(io_, SIGTERM, SIGINT), acceptRetry_(io_),
      shutdownLimit_(io_)
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

void Service::registerPeer(std::uint64_t handle, pid_t pid)
{
    peers_[handle] = pid;
}

void Service::forgetPeer(std::uint64_t handle)
{
    peers_.erase(handle);
}

std::uint64_t Service::callerFor(std::uint64_t claimed, pid_t pid) const
{
    if (claimed == 0)
        return 0;
    const auto found = peers_.find(claimed);
    return found != peers_.end() && found->second == pid ? claimed : 0;
}

void Service::sessionEnded(Session* session)
{
    sessions_.erase(session);
    if (stopping_ && sessions_.empty())
        finish();
}

void Service::accept()
{
    acceptor_.async_accept([this](const asio::error_code& error, asio::local::stream_protocol::socket socket) {
        if (stopping_ || error == asio::error::operation_aborted)
            return;
        if (error)
            return backOff(error);
        if (backingOff_) {
            backingOff_ = false;
            logLine(LogLevel::Notice, "accepting peers again");
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
            peer.uid != ::geteuid()) {
            logLine(LogLevel::Warning, "refused a peer of another user");
            asio::error_code ignored;
            socket.close(ignored);
        } else {
            auto session = std::make_shared<Session>(*this, std::move(socket), peer.pid);
            sessions_.emplace(session.get(), session);
            session->start();
        }
        accept();
    });
}

// The pending connection stays in the backlog and is taken once a
// descriptor frees up.
void Service::backOff(const asio::error_code& error)
{
    if (!backingOff_) {
        backingOff_ = true;
        logLine(LogLevel::Warning, "cannot accept a peer (" + error.message() + "); trying again every " +
                                       std::to_string(acceptBackoff.count()) + " ms");
    }
    acceptRetry_.expires_after(acceptBackoff);
    acceptRetry_.async_wait([this](const asio::error_code& waited) {
        if (!waited && !stopping_)
            accept();
    });
}

void Service::shutDown()
{
    stopping_ = true;
    asio::error_code ignored;
    acceptor_.close(ignored);
    acceptRetry_.cancel();
    core_.detachAll(true);
    // Peers that never connected a runtime have nothing to hear.
    std::vector<std::shared_ptr<Session>> unconnected;
    for (const auto& entry : sessions_)
        if (entry.second->handle() == 0)
            unconnected.push_back(entry.second);
    for (const auto& session : unconnected)
        session->drop({});
    if (sessions_.empty())
        return finish();
    shutdownLimit_.expires_after(shutdownFlushLimit);
    shutdownLimit_.async_wait([this](const asio::error_code& error) {
        if (!error)
            finish();
    });
}

void Service::finish()
{
    auto remaining = sessions_;
    for (const auto& entry : remaining)
        entry.second->drop({});
    io_.stop();
}

void Service::run()
{
    signals_.async_wait([this](const asio::error_code& error, int) {
        if (!error)
            shutDown();
    });
    accept();
    io_.run();
    sessions_.clear();
    core_.stopBackgroundWork();
    ::unlink(options_.socketPath.c_str());
}

} // namespace halvora::adapter::service
