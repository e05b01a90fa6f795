#include <HalvoraAdapterApi/Runtime.h>

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "detail/FuturesManager.h"
#include "detail/TaskQueue.h"
#include "native/Bridge.h"
#include "options/OptionsMsgPack.h"
#include "runtime/DebugOutput.h"
#include "runtime/EventIntake.h"
#include "runtime/LiveRuntimes.h"
#include "runtime/Version.h"

#include <cstdint>
#include <exception>
#include <utility>

namespace HalvoraAdapterApi {

namespace {

struct ConnectRequest {
    const RuntimeOptions& runtimeOptions;
    std::uint64_t runtimePtr;
    std::string version;
};

void packRecord(detail::Packer& packer, const ConnectRequest& request)
{
    detail::packMapHeader(packer, 3);
    detail::packString(packer, "runtime_options");
    detail::packRuntimeOptions(packer, request.runtimeOptions);
    detail::packString(packer, "runtime_ptr");
    detail::packUInt64(packer, request.runtimePtr);
    detail::packString(packer, "version");
    detail::packString(packer, request.version);
}

struct DisconnectRequest {
    std::uint64_t handle;
};

void packRecord(detail::Packer& packer, const DisconnectRequest& request)
{
    detail::packMapHeader(packer, 1);
    detail::packString(packer, "handle");
    detail::packUInt64(packer, request.handle);
}

std::wstring banner()
{
    const std::string text =
        std::string("**** Initialising Halvora C++ Adapter v") + detail::libraryVersion + " ****\n";
    return std::wstring(text.begin(), text.end());
}

// Reads the handle out of a connect result; error, null and undecodable
// results, and anything that is not a number, read as 0.
std::uint64_t readHandle(const NativeResult& result)
{
    if (result.isError != 0 || result.isNull != 0) {
        return 0;
    }
    const detail::DecodedValue decoded = detail::parseNativeResponse(result);
    return decoded.ok() ? detail::uint64Value(decoded.value()) : 0;
}

// Sends the native disconnect; an error that the adapter reports is raised
// after the buffer has been given back.
void sendDisconnect(std::uint64_t handle)
{
    std::shared_ptr<std::string> ignored;
    detail::invokeNative(d_halvora_disconnect, DisconnectRequest{handle}, ignored);
}

} // namespace

Runtime::Runtime(RuntimeOptions options, std::string runtimeId)
    : handle(0), connected(false), connections(0), runtimeId(std::move(runtimeId)), runtimeOptions(std::move(options)),
      futuresManager(std::make_unique<detail::FuturesManager>()), taskQueue(std::make_unique<detail::TaskQueue>())
{}

Runtime::~Runtime()
{
    // Late adapter callbacks find the address gone from the table and are
    // dropped; callbacks still running hold a reference, so none is running here.
    detail::LiveRuntimes::remove(this);
    taskQueue->stop();
}

std::future<void> Runtime::connectAsync()
{
    // The task keeps the runtime alive, so dropping the factory while a
    // connect is pending cannot leave it working on a destroyed object.
    std::shared_ptr<Runtime> self = detail::LiveRuntimes::find(this);
    return std::async(std::launch::async, [this, self] { runConnect(); });
}

std::future<void> Runtime::disconnectAsync()
{
    std::shared_ptr<Runtime> self = detail::LiveRuntimes::find(this);
    return std::async(std::launch::async, [this, self] { runDisconnect(); });
}

void Runtime::runConnect()
{
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    const unsigned long long newHandle = connect();
    // The worker runs before `connected` is raised, so work queued by anyone
    // who sees the connection is served.
    try {
        taskQueue->start();
    } catch (...) {
        publishConnection(newHandle);
        throw;
    }
    publishConnection(newHandle);
}

unsigned long long Runtime::connect()
{
    detail::writeDebugOutput(banner());
    const detail::EncodedRequest request = detail::encodeRequest(
        ConnectRequest{runtimeOptions, reinterpret_cast<std::uintptr_t>(this), detail::libraryVersion});
    const NativeResult result =
        detail::callNativeWithCallbacks(d_halvora_connect, request, detail::handleRuntimeEvent, detail::releaseReply);
    std::uint64_t newHandle = 0;
    try {
        newHandle = readHandle(result);
    } catch (...) {
        detail::releaseNativeResult(result);
        throw;
    }
    detail::releaseNativeResult(result);
    if (newHandle == 0) {
        throw HalvoraApiException("Failed to connect to the runtime");
    }
    return newHandle;
}

void Runtime::publishConnection(unsigned long long newHandle)
{
    std::shared_ptr<DesktopSystem> stale;
    std::lock_guard<std::mutex> lock(stateMutex);
    handle = newHandle;
    connected = true;
    ++connections;
    // A launcher bound to an earlier connection is replaced on next use.
    if (desktopSystem && desktopSystem->runtimeHandle != newHandle) {
        stale = std::move(desktopSystem);
    }
}

void Runtime::runDisconnect()
{
    std::unique_lock<std::mutex> lifecycle(lifecycleMutex);
    std::uint64_t closingHandle = 0;
    unsigned long long generation = 0;
    const std::vector<std::function<void()>> subscribers = disconnectLocally();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        closingHandle = handle;
        generation = connections;
    }
    // Subscribers may connect again; they run without the lifecycle lock.
    lifecycle.unlock();
    std::exception_ptr failure;
    try {
        notifyDisconnected(subscribers);
    } catch (...) {
        failure = std::current_exception();
    }
    lifecycle.lock();

    // A failing subscriber must not leave the native connection and the
    // worker running, so both are always torn down before any error is raised.
    try {
        sendDisconnect(closingHandle);
    } catch (...) {
        if (!failure) {
            failure = std::current_exception();
        }
    }
    bool reconnected = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        reconnected = connections != generation;
    }
    if (!reconnected) {
        taskQueue->stop();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

bool Runtime::isConnected() const
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return connected;
}

std::shared_ptr<Channels> Runtime::getChannels()
{
    struct MakeSharedEnabler : Channels {
        MakeSharedEnabler(unsigned long long runtimeHandle, detail::FuturesManager& futures, detail::TaskQueue& tasks)
            : Channels(runtimeHandle, futures, tasks)
        {}
    };
    std::lock_guard<std::mutex> lock(stateMutex);
    if (!connected) {
        throw HalvoraApiException("Can't use channels when not connected to the runtime");
    }
    if (!channels) {
        channels = std::make_shared<MakeSharedEnabler>(handle, *futuresManager, *taskQueue);
    }
    return channels;
}

std::shared_ptr<DesktopSystem> Runtime::getDesktopSystem()
{
    struct MakeSharedEnabler : DesktopSystem {
        MakeSharedEnabler(unsigned long long runtimeHandle, detail::FuturesManager& futures, detail::TaskQueue& tasks)
            : DesktopSystem(runtimeHandle, futures, tasks)
        {}
    };
    std::lock_guard<std::mutex> lock(stateMutex);
    if (!connected) {
        throw HalvoraApiException("Can't use the runtime as it is not connected");
    }
    if (!desktopSystem) {
        desktopSystem = std::make_shared<MakeSharedEnabler>(handle, *futuresManager, *taskQueue);
    }
    return desktopSystem;
}

void Runtime::subscribeDisconnected(const std::function<void()>& callback)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    disconnectedCallbacks.push_back(callback);
}

void Runtime::unsubscribeDisconnected(const std::function<void()>& /*callback*/)
{
    // std::function cannot be compared, so unsubscribing removes every subscriber.
    std::vector<std::function<void()>> removed;
    std::lock_guard<std::mutex> lock(stateMutex);
    removed.swap(disconnectedCallbacks);
}

void Runtime::registerDisconnection()
{
    notifyDisconnected(disconnectLocally());
}

std::vector<std::function<void()>> Runtime::disconnectLocally()
{
    std::shared_ptr<Channels> registry;
    std::vector<std::function<void()>> subscribers;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        registry = std::move(channels);
        channels.reset();
        connected = false;
        subscribers = disconnectedCallbacks;
    }
    if (registry) {
        registry->reset();
    }
    return subscribers;
}

void Runtime::notifyDisconnected(const std::vector<std::function<void()>>& subscribers)
{
    // An empty subscriber raises std::bad_function_call and ends the walk,
    // as a throwing one does.
    for (const std::function<void()>& subscriber : subscribers) {
        subscriber();
    }
}

std::string Runtime::getRuntimeId()
{
    return runtimeId;
}

RuntimeOptions Runtime::getRuntimeOptions()
{
    return runtimeOptions;
}

} // namespace HalvoraAdapterApi
