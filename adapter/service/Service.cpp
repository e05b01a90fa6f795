#include "service/Service.h"

#include "service/Log.h"

#include <nlohmann/json.hpp>

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

} // namespace

Service::Service(ServiceOptions options, Listener listener)
    : options_(std::move(options)), listener_(std::move(listener)), startedAt_(std::chrono::steady_clock::now()),
      acceptor_(io_, asio::local::stream_protocol(), listener_.fd), signals_(io_, SIGTERM, SIGINT), acceptRetry_(io_),
      shutdownLimit_(io_), idleTimer_(io_)
{}

Service::~Service() = default;

void Service::registerPeer(std::uint64_t handle, pid_t pid)
{
    peers_[handle] = pid;
}

void Service::forgetPeer(std::uint64_t handle)
{
    peers_.erase(handle);
    if (peers_.empty())
        armIdleTimer();
}

// Timed from the last runtime leaving and from the last arrival, so a
// runtime on its way in is not turned away by a service that just went idle.
void Service::armIdleTimer()
{
    if (options_.idleExit.count() == 0 || stopping_)
        return;
    idleTimer_.expires_after(options_.idleExit);
    idleTimer_.async_wait([this](const asio::error_code& error) {
        if (error || stopping_ || !peers_.empty())
            return; // armed again when the last runtime leaves
        logLine(LogLevel::Info,
                "no runtime connected for " + std::to_string(options_.idleExit.count()) + " s; stopping");
        shutDown();
    });
}

std::string Service::statusJson() const
{
    const CoreStatus core = core_.status();
    const auto pidOf = [this](std::uint64_t handle) {
        const auto found = peers_.find(handle);
        return found == peers_.end() ? 0 : found->second;
    };
    std::map<std::uint64_t, std::string> uuids;
    auto runtimes = nlohmann::json::array();
    for (const auto& runtime : core.runtimes) {
        uuids[runtime.handle] = runtime.uuid;
        runtimes.push_back({{"handle", runtime.handle}, {"uuid", runtime.uuid}, {"pid", pidOf(runtime.handle)}});
    }
    auto channels = nlohmann::json::array();
    for (const auto& channel : core.channels) {
        const nlohmann::json provider = {{"handle", channel.providerHandle},
                                         {"uuid", uuids[channel.providerHandle]},
                                         {"pid", pidOf(channel.providerHandle)}};
        channels.push_back({{"name", channel.name}, {"provider", provider}, {"clients", channel.clients}});
    }
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - startedAt_);
    const nlohmann::json status = {{"pid", ::getpid()},
                                   {"socket", listener_.path},
                                   {"started_by", options_.startedBy},
                                   {"uptime_seconds", uptime.count()},
                                   {"idle_exit_seconds", options_.idleExit.count()},
                                   {"runtimes", runtimes},
                                   {"channels", channels},
                                   {"waiting_calls", core.waitingCalls},
                                   {"waiting_connects", core.waitingConnects}};
    // Texts come from runtimes and need not be valid UTF-8.
    return status.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
            logLine(LogLevel::Warning, "refused a peer of another user (uid " + std::to_string(peer.uid) + ")");
            asio::error_code ignored;
            socket.close(ignored);
        } else {
            armIdleTimer();
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

// The socket file goes first, so a connect from now on finds no service (and
// may start a new one, which waits for this one's lock) rather than one that
// is about to close. A socket that the service manager passed stays its own.
void Service::shutDown()
{
    if (stopping_)
        return;
    stopping_ = true;
    if (!listener_.activated)
        ::unlink(listener_.path.c_str());
    asio::error_code ignored;
    acceptor_.close(ignored);
    signals_.cancel(ignored);
    acceptRetry_.cancel();
    idleTimer_.cancel();
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
    armIdleTimer();
    io_.run();
    sessions_.clear();
    core_.stopBackgroundWork();
}

} // namespace halvora::adapter::service
