#include <HalvoraAdapterApi/Runtime.h>

#include <HalvoraAdapterApi/HalvoraApiException.h>

#include "detail/FuturesManager.h"
#include "detail/Reaper.h"
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

// Closes a connection the runtime no longer uses (0: none is open) and stops
// its late events from matching. It is closed or gone either way, so an error
// has nobody to reach.
void closeQuietly(std::uint64_t handle, std::uint64_t context)
{
    if (handle != 0) {
        try {
            sendDisconnect(handle);
        } catch (...) {
        }
    }
    detail::LiveRuntimes::withdraw(context);
}

// The disconnection subscribers being called on this thread, innermost last,
// so that a subscriber that disconnects its own runtime again is not called
// once more for it.
thread_local std::vector<const Runtime*> notifying;

bool notifyingOn(const Runtime* runtime)
{
    for (const Runtime* entry : notifying) {
        if (entry == runtime) {
            return true;
        }
    }
    return false;
}

} // namespace

Runtime::Runtime(RuntimeOptions options, std::string runtimeId)
    : handle(0), connected(false), connections(0), openHandle(0), eventContext(0), runtimeId(std::move(runtimeId)),
      runtimeOptions(std::move(options)), futuresManager(std::make_unique<detail::FuturesManager>()),
      taskQueue(std::make_unique<detail::TaskQueue>())
{}

Runtime::~Runtime()
{
    // Every task and callback holds a reference, so none is running here, and
    // the factory hands the teardown to a thread that none of them can be
    // waiting on.
    closeForGood();
}

void Runtime::closeForGood() noexcept
{
    try {
        std::shared_ptr<Channels> registry;
        unsigned long long closing = 0;
        std::uint64_t context = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            registry = std::move(channels);
            connected = false;
            closing = std::exchange(openHandle, 0);
            context = std::exchange(eventContext, 0);
        }
        if (registry) {
            registry->reset();
        }
        // Closing first ends what only the adapter can end (a client waiting
        // for a provider), so the queue and the tracked futures below settle.
        closeQuietly(closing, context);
        taskQueue->stop();
    } catch (...) {
        // Out of resources while going away: nothing can be reported from a destructor.
    }
}

std::future<void> Runtime::startLifecycleTask(void (*body)(Runtime&, bool), bool argument)
{
    // The task keeps the runtime alive, so dropping the factory while a
    // connect is pending cannot leave it working on a destroyed object. Its
    // future does not wait for the task when dropped, so a handler may start
    // a disconnect of its own runtime and return.
    auto promise = std::make_shared<std::promise<void>>();
    std::future<void> future = promise->get_future();
    std::shared_ptr<Runtime> keepAlive = self.lock();
    detail::Reaper::instance().spawn([promise, body, argument, keepAlive = std::move(keepAlive)]() mutable {
        std::exception_ptr failure;
        try {
            body(*keepAlive, argument);
        } catch (...) {
            failure = std::current_exception();
        }
        // Released before the future is settled: a runtime that the task held
        // last is gone by the time its caller hears of the end.
        keepAlive.reset();
        if (failure) {
            promise->set_exception(failure);
        } else {
            promise->set_value();
        }
    });
    return future;
}

std::future<void> Runtime::connectAsync()
{
    return startLifecycleTask([](Runtime& runtime, bool) { runtime.runConnect(); }, false);
}

std::future<void> Runtime::disconnectAsync()
{
    // Asked for by a disconnection subscriber of this runtime: they are being
    // told already, and telling them again would ask again, without end.
    const bool notify = !notifyingOn(this);
    return startLifecycleTask(
        [](Runtime& runtime, bool notifySubscribers) { runtime.runDisconnect(notifySubscribers); }, notify);
}

void Runtime::runConnect()
{
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex);
    const std::uint64_t context = detail::LiveRuntimes::enroll(self);
    unsigned long long newHandle = 0;
    try {
        newHandle = connect(context);
    } catch (...) {
        detail::LiveRuntimes::withdraw(context);
        throw;
    }

    std::shared_ptr<Channels> replacedChannels;
    unsigned long long replacedHandle = 0;
    std::uint64_t replacedContext = 0;
    const auto publish = [&] {
        std::shared_ptr<DesktopSystem> stale;
        std::lock_guard<std::mutex> lock(stateMutex);
        replacedHandle = std::exchange(openHandle, newHandle);
        replacedContext = std::exchange(eventContext, context);
        replacedChannels = std::move(channels);
        handle = newHandle;
        connected = true;
        ++connections;
        // A launcher bound to an earlier connection is replaced on next use.
        if (desktopSystem && desktopSystem->runtimeHandle != newHandle) {
            stale = std::move(desktopSystem);
        }
    };
    // The worker runs before `connected` is raised, so work queued by anyone
    // who sees the connection is served.
    try {
        taskQueue->start();
    } catch (...) {
        publish();
        throw;
    }
    publish();

    // A connection replaced by this one is closed: nothing of it stays open in
    // the adapter, and its late events no longer match the runtime's context.
    if (replacedChannels) {
        replacedChannels->reset();
    }
    closeQuietly(replacedHandle, replacedContext);
}

unsigned long long Runtime::connect(std::uint64_t context)
{
    detail::writeDebugOutput(banner());
    const detail::EncodedRequest request =
        detail::encodeRequest(ConnectRequest{runtimeOptions, context, detail::libraryVersion});
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

void Runtime::runDisconnect(bool notify)
{
    std::unique_lock<std::mutex> lifecycle(lifecycleMutex);
    std::uint64_t closingHandle = 0;
    std::uint64_t closingContext = 0;
    unsigned long long generation = 0;
    const std::vector<std::function<void()>> subscribers = disconnectLocally();
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        closingHandle = handle;
        openHandle = 0;
        closingContext = std::exchange(eventContext, 0);
        generation = connections;
    }
    // Subscribers may connect again; they run without the lifecycle lock.
    lifecycle.unlock();
    std::exception_ptr failure;
    try {
        if (notify) {
            notifyDisconnected(subscribers);
        }
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
    detail::LiveRuntimes::withdraw(closingContext);
    const bool reconnected = [&] {
        std::lock_guard<std::mutex> lock(stateMutex);
        return connections != generation;
    }();
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
        registry = std::move(channels); // leaves it empty
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
    // A subscriber that disconnects its own runtime again has done the local
    // part by then; calling the subscribers once more would recurse without end.
    if (notifyingOn(this)) {
        return;
    }
    notifying.push_back(this);
    struct Done {
        ~Done() { notifying.pop_back(); }
    } done;
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

namespace HalvoraAdapterApi {
namespace detail {

bool RuntimeAccess::acceptsEventsOf(const Runtime& runtime, std::uint64_t context, std::shared_ptr<Channels>& channels)
{
    std::lock_guard<std::mutex> lock(runtime.stateMutex);
    if (!runtime.connected || context != runtime.eventContext) {
        return false;
    }
    channels = runtime.channels;
    return true;
}

TaskQueue& RuntimeAccess::taskQueue(Runtime& runtime)
{
    return *runtime.taskQueue;
}

void RuntimeAccess::adopt(const std::shared_ptr<Runtime>& runtime)
{
    runtime->self = runtime;
}

} // namespace detail
} // namespace HalvoraAdapterApi
