// The runtime service: one routing core serving runtimes of other processes
// over a Unix domain socket, one session per connected runtime.
//
// Everything runs on one io thread, whatever the number of peers or of
// calls that wait: the core never blocks, so a waiting call is a record, not
// a thread.
#pragma once

#include "core/RuntimeCore.h"
#include "service/Listener.h"
#include "service/Session.h"

#include <asio.hpp>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace halvora::adapter::service {

struct ServiceOptions {
    std::string socketPath;
    // A peer that leaves a frame unfinished this long is dropped.
    std::chrono::milliseconds stallLimit{5000};
    PeerBounds bounds;
    // Stop after this long without a connected runtime; zero never stops.
    std::chrono::seconds idleExit{0};
    // How the service came to run, as its status reports it.
    std::string startedBy = "hand";
};

class Service {
public:
    // Serves on `listener`, which already listens.
    Service(ServiceOptions options, Listener listener);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service();

    // Serves on the calling thread until SIGTERM or SIGINT, or until idle
    // for the idle limit, then shuts down in order: every peer receives "AdapterDisconnected", calls in flight
    // end with an error and the socket is removed.
    void run();

    // For sessions, on the io thread.
    RuntimeCore& core() { return core_; }
    asio::io_context& io() { return io_; }
    const ServiceOptions& options() const { return options_; }
    bool stopping() const { return stopping_; }
    void registerPeer(std::uint64_t handle, pid_t pid);
    void forgetPeer(std::uint64_t handle);
    // `claimed` as the caller's event thread when that runtime lives in the
    // same process as the one asking, 0 otherwise.
    std::uint64_t callerFor(std::uint64_t claimed, pid_t pid) const;
    void sessionEnded(Session* session);
    // What the service serves, as the JSON text that `status` prints.
    std::string statusJson() const;

private:
    void accept();
    void backOff(const asio::error_code& error);
    void shutDown();
    void finish();
    void armIdleTimer();

    const ServiceOptions options_;
    const Listener listener_;
    const std::chrono::steady_clock::time_point startedAt_;
    asio::io_context io_{1};
    asio::local::stream_protocol::acceptor acceptor_;
    asio::signal_set signals_;
    asio::steady_timer acceptRetry_;
    asio::steady_timer shutdownLimit_;
    asio::steady_timer idleTimer_;
    RuntimeCore core_;

    bool stopping_ = false;
    bool backingOff_ = false;
    std::map<std::uint64_t, pid_t> peers_;
    std::map<Session*, std::shared_ptr<Session>> sessions_;
};

} // namespace halvora::adapter::service
