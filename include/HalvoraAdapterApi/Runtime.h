#pragma once

#include <HalvoraAdapterApi/Channels.h>
#include <HalvoraAdapterApi/DesktopSystem.h>
#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/RuntimeOptions.h>
#include <HalvoraAdapterApi/detail/Forward.h>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace HalvoraAdapterApi {

class RuntimeFactory;

/// @brief One connection of the application to the desktop runtime.
///
/// Obtained from RuntimeFactory. Connect, use its channels and desktop system,
/// disconnect; connecting again afterwards works fully. Every operation is
/// safe to call from any thread; connects and disconnects of one runtime run
/// one after the other. Destroying a connected runtime closes its connection
/// (subscribers are not called) and ends its pending operations; the last
/// reference may be dropped on any thread, inside a callback too.
class HALVORA_ADAPTER_API Runtime {
public:
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    /// @brief Connects on a thread of its own. On a connected runtime the new
    /// connection replaces the old one, which is then closed.
    /// @return A future that raises HalvoraApiException "Failed to connect to
    ///         the runtime" when the adapter gives no connection.
    std::future<void> connectAsync();
    /// @brief Disconnects on a thread of its own: resets the channels, tells
    /// the disconnection subscribers, tells the adapter and lets queued work
    /// finish. The future raises a subscriber's exception or the adapter's
    /// error (as HalvoraApiException) after all of that has happened. Dropping
    /// the future does not wait, so a handler may disconnect its own runtime.
    std::future<void> disconnectAsync();
    /// @brief true from a successful connect until the next disconnection.
    bool isConnected() const;

    /// @brief The channel registry of the current connection, created on first use.
    /// @throws HalvoraApiException "Can't use channels when not connected to the runtime".
    std::shared_ptr<Channels> getChannels();
    /// @brief The manifest launcher of the current connection, created on first use.
    /// @throws HalvoraApiException "Can't use the runtime as it is not connected".
    std::shared_ptr<DesktopSystem> getDesktopSystem();

    /// @brief Calls @p callback at each disconnection, on the thread that
    /// performs it: the disconnect task's, the adapter's event thread when the
    /// runtime goes away, or the caller of registerDisconnection. Subscribers
    /// may subscribe while being called; that takes effect next time.
    void subscribeDisconnected(const std::function<void()>& callback);
    /// @brief Removes every disconnection subscriber.
    void unsubscribeDisconnected(const std::function<void()>& callback);
    /// @brief The local half of a disconnection: resets the channels, marks the
    /// runtime disconnected and calls the subscribers in order (an empty or
    /// raising subscriber ends the walk and its exception propagates).
    void registerDisconnection();

    /// @brief The runtime identity: uuid/version[/securityRealm].
    std::string getRuntimeId();
    /// @brief The options the runtime was created with.
    RuntimeOptions getRuntimeOptions();

private:
    /// @cond INTERNAL
    Runtime(RuntimeOptions options, std::string runtimeId);
    ~Runtime();

    // Emits the banner and asks the adapter for a connection whose events carry
    // `eventContext`; returns its handle.
    unsigned long long connect(std::uint64_t eventContext);

    // Connect and disconnect task bodies, serialised by lifecycleMutex.
    void runConnect();
    void runDisconnect(bool notify);
    // Starts `body` on a thread of its own, holding a reference to this runtime.
    std::future<void> startLifecycleTask(void (*body)(Runtime&, bool), bool argument);
    // Closes the native connection, if one is open, when the runtime goes.
    void closeForGood() noexcept;
    // Resets and drops the channels and lowers `connected`; returns the
    // subscribers to notify, so that they are called without a lock held.
    std::vector<std::function<void()>> disconnectLocally();
    void notifyDisconnected(const std::vector<std::function<void()>>& subscribers);

    // Guards handle, connected, channels, desktopSystem, disconnectedCallbacks,
    // openHandle and eventContext.
    mutable std::mutex stateMutex;
    // Serialises the connect and disconnect work of this runtime.
    std::mutex lifecycleMutex;
    unsigned long long handle;
    std::shared_ptr<Channels> channels;
    std::shared_ptr<DesktopSystem> desktopSystem;
    std::vector<std::function<void()>> disconnectedCallbacks;
    bool connected;
    // Counts successful connects, so a disconnect can tell that a newer
    // connection took over while its subscribers ran.
    unsigned long long connections;
    // The handle of the adapter connection that nobody has closed yet, or 0.
    unsigned long long openHandle;
    // The context that the current connection's events carry; events with any
    // other context belong to a connection that has been replaced or closed.
    std::uint64_t eventContext;
    std::string runtimeId;
    RuntimeOptions runtimeOptions;
    std::unique_ptr<detail::FuturesManager> futuresManager;
    std::unique_ptr<detail::TaskQueue> taskQueue;
    // Set by the factory, so that tasks can keep the runtime alive.
    std::weak_ptr<Runtime> self;

    friend class RuntimeFactory;
    friend struct detail::RuntimeAccess;
    /// @endcond
};

} // namespace HalvoraAdapterApi
