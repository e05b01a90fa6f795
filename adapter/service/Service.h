// The runtime service: one routing core serving runtimes of other processes
// over a Unix domain socket, one session per connected runtime.
#pragma once

#include "core/RuntimeCore.h"
#include "service/WorkerPool.h"

#include <asio.hpp>

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace halvora::adapter::service {

class Session;

struct ServiceOptions {
    std::string socketPath;
    // A peer that leaves a frame unfinished, or does not take what is sent
    // to it, for this long is dropped.
    std::chrono::milliseconds stallLimit{10000};
};

class Service {
public:
    // Prepares the private directory and binds the socket; throws
    // std::runtime_error when that fails or another service already listens.
    explicit Service(ServiceOptions options);
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;
    ~Service();

    // Serves until SIGTERM or SIGINT, then shuts down in order: every peer
    // receives "AdapterDisconnected", calls in flight end with an error, all
    // threads are joined and the socket is removed.
    void run();

    // For sessions.
    RuntimeCore& core() { return core_; }
    asio::io_context& io() { return io_; }
    WorkerPool& workers() { return workers_; }
    const ServiceOptions& options() const { return options_; }
    bool stopping() const;
    void registerPeer(std::uint64_t handle, pid_t pid);
    void forgetPeer(std::uint64_t handle);
    // `claimed` as the caller's event thread when that runtime lives in the
    // same process as the one asking, 0 otherwise.
    std::uint64_t callerFor(std::uint64_t claimed, pid_t pid) const;

private:
    void accept();
    void requestStop();

    const ServiceOptions options_;
    asio::io_context io_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::signal_set signals_;
    RuntimeCore core_;
    WorkerPool workers_;

    mutable std::mutex peersMutex_; // guards peers_
    std::map<std::uint64_t, pid_t> peers_;

    std::mutex stopMutex_; // guards stopRequested_
    std::condition_variable stopChanged_;
    bool stopRequested_ = false;
    std::atomic<bool> stopping_{false};
};

} // namespace halvora::adapter::service
