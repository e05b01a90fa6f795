#pragma once

#include <HalvoraAdapterApi/Channels.h>
#include <HalvoraAdapterApi/DesktopSystem.h>
#include <HalvoraAdapterApi/Export.h>
#include <HalvoraAdapterApi/RuntimeOptions.h>
#include <HalvoraAdapterApi/detail/Forward.h>

#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace HalvoraAdapterApi {

class RuntimeFactory;

// One connection of the application to the desktop runtime. Obtained from
// RuntimeFactory; connect, use its channels and desktop system, disconnect.
class HALVORA_ADAPTER_API Runtime {
public:
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    std::future<void> connectAsync();
    std::future<void> disconnectAsync();
    bool isConnected() const;

    // Raise HalvoraApiException while not connected.
    std::shared_ptr<Channels> getChannels();
    std::shared_ptr<DesktopSystem> getDesktopSystem();

    // Subscribers run on the thread that performs the disconnection.
    void subscribeDisconnected(const std::function<void()>& callback);
    // Removes every disconnection subscriber.
    void unsubscribeDisconnected(const std::function<void()>& callback);
    // The local half of a disconnection: resets the channels and tells the subscribers.
    void registerDisconnection();

    std::string getRuntimeId();
    RuntimeOptions getRuntimeOptions();

private:
    Runtime(RuntimeOptions options, std::string runtimeId);
    ~Runtime();

    // Emits the banner and asks the adapter for a connection; returns its handle.
    unsigned long long connect();

    // Connect and disconnect task bodies, serialised by lifecycleMutex.
    void runConnect();
    void runDisconnect();
    void publishConnection(unsigned long long newHandle);
    // Resets and drops the channels and lowers `connected`; returns the
    // subscribers to notify, so that they are called without a lock held.
    std::vector<std::function<void()>> disconnectLocally();
    static void notifyDisconnected(const std::vector<std::function<void()>>& subscribers);

    // Guards handle, connected, channels, desktopSystem and disconnectedCallbacks.
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
    std::string runtimeId;
    RuntimeOptions runtimeOptions;
    std::unique_ptr<detail::FuturesManager> futuresManager;
    std::unique_ptr<detail::TaskQueue> taskQueue;

    friend class RuntimeFactory;
    friend struct detail::RuntimeAccess;
};

} // namespace HalvoraAdapterApi
