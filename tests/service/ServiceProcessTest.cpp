// The runtime service with applications in separate processes: the service
// and peer applications are started as child processes, and the test
// process itself is one more application where it needs to watch futures.
#include "wire/Frames.h"

#include <HalvoraAdapterApi/HalvoraAdapterApi.h>
#include <msgpack.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

using namespace HalvoraAdapterApi;
using halvora::adapter::Result;
namespace wire = halvora::adapter::wire;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace {

// Every test process gets a runtime directory of its own, set before any
// thread can read the environment.
struct RuntimeDirectory {
    RuntimeDirectory()
    {
        char path[] = "/tmp/halvora-service-test-XXXXXX";
        base = ::mkdtemp(path);
        ::setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
    }
    ~RuntimeDirectory() { std::filesystem::remove_all(base); }
    std::string socketFor(int port) const { return base + "/halvora/runtime-" + std::to_string(port) + ".sock"; }
    std::string base;
} const runtimeDirectory;

// A child process whose standard output the test reads line by line.
class Child {
public:
    explicit Child(std::vector<std::string> args)
    {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], 2);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeEnds[1]);
        out_ = pipeEnds[0];
        if (failed != 0)
            throw std::runtime_error("cannot start " + args[0]);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
    }

    // The first line that contains `text`, or "" when none came in time.
    std::string lineWith(const std::string& text, std::chrono::milliseconds limit = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (auto end = buffered_.find('\n'); end != std::string::npos; end = buffered_.find('\n')) {
                std::string line = buffered_.substr(0, end);
                buffered_.erase(0, end + 1);
                all_ += line + "\n";
                if (line.find(text) != std::string::npos)
                    return line;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{out_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                return "";
            char chunk[4096];
            const ssize_t got = ::read(out_, chunk, sizeof chunk);
            if (got <= 0)
                return "";
            buffered_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    // Everything up to the end of the output.
    std::string rest(std::chrono::milliseconds limit = 10s)
    {
        lineWith("\x01", limit); // no line holds it: reads to the end
        std::string out = std::exchange(all_, std::string()) + buffered_;
        buffered_.clear();
        return out;
    }

    // The exit status, or -1 when the child was still running after `limit`.
    int exitWithin(std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(10ms);
        }
        return -1;
    }

    void signal(int number) { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffered_;
    std::string all_;
};

Child* startService(int port)
{
    auto* service = new Child({HALVORA_RUNTIME_PATH, "--port", std::to_string(port), "--stall-limit-ms", "500"});
    // The line that scripts wait for comes on standard output, beside the log line.
    const std::string ready = "halvora-runtime: listening on " + runtimeDirectory.socketFor(port);
    if (service->lineWith("listening on") != ready && service->lineWith("listening on") != ready)
        throw std::runtime_error("the runtime service did not say that it listens");
    return service;
}

Child* startPeer(std::vector<std::string> args)
{
    args.insert(args.begin(), HALVORA_PEER_PATH);
    return new Child(std::move(args));
}

std::shared_ptr<Runtime> connectedRuntime(RuntimeFactory& factory, int port, const std::string& uuid)
{
    RuntimeOptions options(uuid, "stable");
    options.port = port;
    auto runtime = factory.getRuntimeInstance(options);
    runtime->connectAsync().get();
    return runtime;
}

// A raw connection that speaks bytes, not frames.
int rawConnection(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("raw connect failed");
    return fd;
}

bool closedByPeerWithin(int fd, std::chrono::milliseconds limit)
{
    pollfd ready{fd, POLLIN, 0};
    char byte;
    return ::poll(&ready, 1, static_cast<int>(limit.count())) == 1 && ::read(fd, &byte, 1) <= 0;
}

// A request map, built key by key.
class Map {
public:
    template <typename Value>
    Map& put(const char* key, const Value& value)
    {
        entries_[key] = value;
        return *this;
    }
    Map& put(const char* key, const Map& value) { return put(key, value.entries_); }
    std::vector<std::uint8_t> bytes() const { return nlohmann::json::to_msgpack(entries_); }

private:
    nlohmann::json entries_ = nlohmann::json::object();
};

// A peer that speaks frames itself: it holds calls open, or misbehaves, in
// ways an application on the library cannot.
class FramePeer {
public:
    explicit FramePeer(const std::string& path) : fd_(rawConnection(path)) {}
    FramePeer(const FramePeer&) = delete;
    FramePeer& operator=(const FramePeer&) = delete;
    ~FramePeer() { ::close(fd_); }

    void send(const std::vector<std::uint8_t>& frame)
    {
        for (std::size_t sent = 0; sent < frame.size();) {
            const ssize_t wrote = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
            if (wrote <= 0)
                throw std::runtime_error("the service stopped reading");
            sent += static_cast<std::size_t>(wrote);
        }
    }
    void request(std::uint64_t id, const char* op, const std::vector<std::uint8_t>& map)
    {
        send(wire::encodeRequest(id, op, map.data(), map.size(), 0));
    }
    void reply(std::uint64_t id, const Result& result) { send(wire::encodeAnswer(wire::Kind::EventReply, id, result)); }

    // The next frame that is not a heartbeat; false when the service closed
    // the connection or nothing came in time.
    bool next(wire::Message& message, std::chrono::milliseconds limit = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            while (reader_.next(message))
                if (message.kind != wire::Kind::Heartbeat)
                    return true;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd ready{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                return false;
            const ssize_t got = ::read(fd_, reader_.space(1 << 16), 1 << 16);
            if (got <= 0)
                return false;
            reader_.commit(static_cast<std::size_t>(got));
        }
    }
    // The next event of `type`, skipping the others.
    bool nextEvent(wire::Message& message, const std::string& type)
    {
        while (next(message))
            if (message.kind == wire::Kind::Event && field(message, 0) == type)
                return true;
        return false;
    }
    Result call(std::uint64_t id, const char* op, const std::vector<std::uint8_t>& map)
    {
        request(id, op, map);
        wire::Message message;
        while (next(message))
            if (message.kind == wire::Kind::Response && message.id == id)
                return message.result;
        return Result::error("no response");
    }
    // Without heartbeats, since this peer sends nothing while the test waits.
    std::uint64_t connect()
    {
        const Map options = Map().put("disable_heartbeating", true);
        return call(1, "connect", Map().put("runtime_ptr", std::uint64_t{1}).put("runtime_options", options).bytes())
            .number;
    }
    int fd() const { return fd_; }

    // A text field of an event: 0 its type, 4 its payload.
    static std::string field(const wire::Message& event, std::uint32_t index)
    {
        const msgpack::object_handle handle =
            msgpack::unpack(reinterpret_cast<const char*>(event.bytes.data()), event.bytes.size());
        return handle.get().via.array.ptr[index].as<std::string>();
    }

    static std::vector<std::uint8_t> dispatch(std::uint64_t handle, const std::string& clientId,
                                              const std::string& payload)
    {
        return Map()
            .put("handle", handle)
            .put("client_id", clientId)
            .put("topic", "t")
            .put("payload_json", payload)
            .put("is_null", false)
            .bytes();
    }
    static std::vector<std::uint8_t> channel(std::uint64_t handle, const char* name, bool wait = false)
    {
        return Map().put("handle", handle).put("provider_name", name).put("wait", wait).bytes();
    }

private:
    int fd_;
    wire::FrameReader reader_;
};

// What /proc tells of the service: its threads, its resident memory and
// the CPU time it has used.
std::size_t threadCount(pid_t pid)
{
    const auto tasks = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

[[maybe_unused]] std::size_t residentBytes(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stoul(line.substr(6)) * 1024;
    return 0;
}

std::chrono::milliseconds cpuTime(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skipped;
    for (int i = 0; i < 11; ++i)
        fields >> skipped;
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return std::chrono::milliseconds((user + system) * 1000 / ::sysconf(_SC_CLK_TCK));
}

class AService : public ::testing::Test {
protected:
    void start(int port)
    {
        port_ = port;
        service_.reset(startService(port));
    }
    void TearDown() override
    {
        if (service_) {
            service_->signal(SIGTERM);
            EXPECT_EQ(service_->exitWithin(5s), 0) << service_->rest(1s);
        }
    }
    int port_ = 0;
    std::unique_ptr<Child> service_;
};

TEST_F(AService, CarriesEveryDispatchAndBroadcastBetweenProviderAndClientProcesses)
{
    start(9701);
    std::unique_ptr<Child> provider(startPeer({"provider", "9701"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    std::vector<std::unique_ptr<Child>> clients;
    for (int i = 0; i < 3; ++i)
        clients.emplace_back(startPeer({"client", "9701", "3000"}));
    for (auto& client : clients) {
        const std::string report = client->lineWith("echoed", 60s);
        EXPECT_THAT(report, HasSubstr("echoed 3000 wrong 0 notice hello"));
        EXPECT_EQ(client->exitWithin(10s), 0);
        EXPECT_FALSE(provider->lineWith("left client-").empty());
    }
}

TEST_F(AService, TellsTheProviderWhenAClientProcessDiesMidDispatch)
{
    start(9702);
    std::unique_ptr<Child> provider(startPeer({"provider", "9702"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    std::unique_ptr<Child> slow(startPeer({"slow-client", "9702"}));
    ASSERT_FALSE(provider->lineWith("slow started").empty());
    slow->signal(SIGKILL);
    // Heard once the provider's handler has answered a client that is gone.
    EXPECT_THAT(provider->lineWith("left ", 10s), HasSubstr("left slow-"));

    std::unique_ptr<Child> client(startPeer({"client", "9702", "10"}));
    EXPECT_THAT(client->lineWith("echoed", 20s), HasSubstr("wrong 0"));
}

TEST_F(AService, WhenKilledFailsEveryCallInFlightAndDisconnectsEveryRuntime)
{
    start(9703);
    std::unique_ptr<Child> provider(startPeer({"provider", "9703"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    RuntimeFactory factory;
    auto runtime = connectedRuntime(factory, 9703, "watcher");
    std::promise<void> disconnected;
    runtime->subscribeDisconnected([&disconnected] { disconnected.set_value(); });
    auto client = runtime->getChannels()->createClient("load");
    client->connectAsync(true).get();
    std::vector<std::shared_future<std::shared_ptr<std::string>>> calls;
    for (int i = 0; i < 5; ++i)
        calls.push_back(client->dispatchAsync("slow", std::to_string(i)));
    std::this_thread::sleep_for(200ms);

    service_->signal(SIGKILL);
    EXPECT_NE(service_->exitWithin(5s), -1);
    service_.reset();
    for (const auto& call : calls) {
        ASSERT_EQ(call.wait_for(5s), std::future_status::ready);
        EXPECT_THROW(call.get(), HalvoraApiException);
    }
    EXPECT_EQ(disconnected.get_future().wait_for(5s), std::future_status::ready);
}

TEST_F(AService, StopsCleanlyOnSigtermAndTellsItsRuntimes)
{
    start(9704);
    std::unique_ptr<Child> provider(startPeer({"provider", "9704"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    service_->signal(SIGTERM);
    EXPECT_EQ(service_->exitWithin(5s), 0);
    service_.reset();
    EXPECT_FALSE(provider->lineWith("service gone", 5s).empty());
    EXPECT_FALSE(std::filesystem::exists(runtimeDirectory.socketFor(9704)));
}

TEST_F(AService, DropsPeersThatSendOversizedMalformedOrUnfinishedFramesAndServesTheOthers)
{
    start(9705);
    std::unique_ptr<Child> provider(startPeer({"provider", "9705"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    RuntimeFactory factory;
    auto runtime = connectedRuntime(factory, 9705, "bystander");
    auto client = runtime->getChannels()->createClient("load");
    client->connectAsync(true).get();

    const std::vector<std::string> offences = {
        std::string("\xff\xff\xff\xff", 4),                     // announces 4 GiB
        std::string("\x00\x40\x00\x01", 4),                     // one byte over the bound
        std::string("\x00\x00\x00\x03\xc1\xc1\xc1", 7),         // not MessagePack
        std::string("\x00\x00\x00\x02\x92\x07", 6),             // an array, but no message
        std::string("\x00\x00\x00\x05\x95\x01\x01\x00\xa0", 9), // a response, which only the service sends
        std::string("\x00\x00\x10\x00\x95", 5),                 // unfinished: stalls mid-frame
    };
    for (const std::string& bytes : offences) {
        const int fd = rawConnection(runtimeDirectory.socketFor(9705));
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        EXPECT_TRUE(closedByPeerWithin(fd, 3s)) << "offence of " << bytes.size() << " bytes";
        EXPECT_THAT(service_->lineWith("dropped"), HasSubstr(bytes.size() == 5 ? ": stall: " : ": bad frame: "));
        ::close(fd);
        EXPECT_EQ(*client->dispatchAsync("echo", "still here").get(), "still here");
    }
    runtime->disconnectAsync().get();
}

TEST_F(AService, KeepsItsSocketOwnerOnlyAndRefusesADirectoryOthersCanEnter)
{
    start(9706);
    struct stat socketStatus {};
    struct stat directoryStatus {};
    ASSERT_EQ(::stat(runtimeDirectory.socketFor(9706).c_str(), &socketStatus), 0);
    ASSERT_EQ(::stat((runtimeDirectory.base + "/halvora").c_str(), &directoryStatus), 0);
    EXPECT_EQ(socketStatus.st_mode & 0777, 0600u);
    EXPECT_EQ(directoryStatus.st_mode & 0777, 0700u);

    ::chmod((runtimeDirectory.base + "/halvora").c_str(), 0755);
    RuntimeFactory factory;
    RuntimeOptions options("intruded", "stable");
    options.port = 9706;
    auto runtime = factory.getRuntimeInstance(options);
    EXPECT_THROW(runtime->connectAsync().get(), HalvoraApiException);
    Child second({HALVORA_RUNTIME_PATH, "--port", "9707"});
    EXPECT_EQ(second.exitWithin(5s), 1);
    ::chmod((runtimeDirectory.base + "/halvora").c_str(), 0700);
}

// A stopped service is noticed by its silence: nothing that waits on it,
// in flight or new, waits longer than the limit (5 s) and a beat.
TEST_F(AService, WhenStoppedFailsEveryWaitWithinTheSilenceLimit)
{
    start(9709);
    std::unique_ptr<Child> provider(startPeer({"provider", "9709"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    auto factory = std::make_unique<RuntimeFactory>();
    auto runtime = connectedRuntime(*factory, 9709, "stopped-watch");
    std::promise<void> disconnected;
    runtime->subscribeDisconnected([&disconnected] { disconnected.set_value(); });
    auto client = runtime->getChannels()->createClient("load");
    client->connectAsync(true).get();
    std::vector<std::shared_future<std::shared_ptr<std::string>>> calls;
    for (int i = 0; i < 3; ++i)
        calls.push_back(client->dispatchAsync("slow", std::to_string(i)));
    ASSERT_FALSE(provider->lineWith("slow started").empty());

    service_->signal(SIGSTOP);
    const auto stopped = std::chrono::steady_clock::now();
    RuntimeOptions options("late", "stable");
    options.port = 9709;
    auto late = factory->getRuntimeInstance(options);
    auto lateConnect = std::async(std::launch::async, [&late] { late->connectAsync().get(); });
    for (const auto& call : calls) {
        ASSERT_EQ(call.wait_until(stopped + 8s), std::future_status::ready);
        EXPECT_THROW(call.get(), HalvoraApiException);
    }
    EXPECT_EQ(disconnected.get_future().wait_until(stopped + 8s), std::future_status::ready);
    ASSERT_EQ(lateConnect.wait_until(stopped + 8s), std::future_status::ready);
    EXPECT_THROW(lateConnect.get(), HalvoraApiException);
    const auto ending = std::chrono::steady_clock::now();
    late.reset();
    runtime.reset();
    factory.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - ending, 6s);
    service_->signal(SIGCONT);
}

// Payloads over the 4 MiB frame bound, either way, fail at once with an
// error that names the bound, and the connection carries on.
TEST_F(AService, AnswersOversizedRequestsAndRepliesWithTheBoundAndStaysUsable)
{
    start(9710);
    std::unique_ptr<Child> provider(startPeer({"provider", "9710"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    RuntimeFactory factory;
    auto runtime = connectedRuntime(factory, 9710, "oversized");
    auto client = runtime->getChannels()->createClient("load");
    client->connectAsync(true).get();
    for (const auto& [topic, payload] : {std::pair<std::string, std::string>{"huge", "x"},
                                         std::pair<std::string, std::string>{"echo", std::string(5u << 20, 'y')}}) {
        auto call = client->dispatchAsync(topic, payload);
        ASSERT_EQ(call.wait_for(5s), std::future_status::ready) << topic;
        try {
            call.get();
            ADD_FAILURE() << topic << " went through";
        } catch (const HalvoraApiException& e) {
            EXPECT_THAT(e.what(), HasSubstr("4 MiB")) << topic;
        }
        auto next = client->dispatchAsync("echo", "after " + topic);
        ASSERT_EQ(next.wait_for(5s), std::future_status::ready) << topic;
        EXPECT_EQ(*next.get(), "after " + topic);
    }
    runtime->disconnectAsync().get();
}

// The service acts for each peer with the handle it gave that peer, and a
// frame that arrives in pieces, within the stall limit, is served whole.
TEST_F(AService, ActsForEachPeerWithItsOwnHandleAndServesFramesThatArriveInPieces)
{
    start(9715);
    const std::string path = runtimeDirectory.socketFor(9715);
    FramePeer owner(path), other(path);
    const std::uint64_t o = owner.connect(), x = other.connect();
    ASSERT_FALSE(owner.call(2, "create_provider", FramePeer::channel(o, "owned")).isError());
    const std::string ownersClient = owner.call(3, "connect_to_provider", FramePeer::channel(o, "owned")).text;
    EXPECT_THAT(other.call(2, "client_dispatch", FramePeer::dispatch(o, ownersClient, "x")).text,
                HasSubstr("is not connected to a channel of this runtime"));

    const std::vector<std::uint8_t> map = FramePeer::channel(x, "owned");
    const std::vector<std::uint8_t> frame = wire::encodeRequest(4, "connect_to_provider", map.data(), map.size(), 0);
    for (std::size_t at = 0; at < frame.size(); at += 7) {
        other.send(
            std::vector<std::uint8_t>(frame.begin() + static_cast<std::ptrdiff_t>(at),
                                      frame.begin() + static_cast<std::ptrdiff_t>(std::min(at + 7, frame.size()))));
        std::this_thread::sleep_for(10ms);
    }
    wire::Message message;
    ASSERT_TRUE(other.next(message));
    EXPECT_EQ(message.result.kind, Result::Kind::Text) << message.result.text;
}

// A waiting call is a record in the service, not a thread: 1,000 connects
// wait for a provider that comes late and 1,000 dispatches wait on a
// provider that dispatches on and waits itself; all are held, then all
// served, on the threads the service started with.
TEST_F(AService, ServesTwoThousandWaitingCallsOnTheThreadsItStartedWith)
{
    start(9711);
    const std::string path = runtimeDirectory.socketFor(9711);
    const std::size_t threads = threadCount(service_->pid());
    constexpr std::uint64_t count = 1000;
    constexpr std::uint64_t forwarded = 1u << 20; // the relay's request ids
    FramePeer waiter(path), client(path), relay(path), end(path), late(path);
    const std::uint64_t w = waiter.connect(), c = client.connect(), r = relay.connect(), e = end.connect();
    ASSERT_FALSE(relay.call(2, "create_provider", FramePeer::channel(r, "relay")).isError());
    ASSERT_FALSE(end.call(2, "create_provider", FramePeer::channel(e, "end")).isError());
    const std::string relayId = relay.call(3, "connect_to_provider", FramePeer::channel(r, "end")).text;
    const std::string clientId = client.call(2, "connect_to_provider", FramePeer::channel(c, "relay")).text;

    for (std::uint64_t i = 0; i < count; ++i) {
        waiter.request(10 + i, "connect_to_provider", FramePeer::channel(w, "late", true));
        client.request(10 + i, "client_dispatch", FramePeer::dispatch(c, clientId, "p" + std::to_string(i)));
    }
    // The end takes its events while the relay forwards them: a peer that
    // left them unread for the silence limit would be dropped.
    std::vector<std::pair<std::uint64_t, std::string>> atTheEnd;
    std::thread endReader([&] {
        wire::Message event;
        while (atTheEnd.size() < count && end.nextEvent(event, "ChannelProviderMessage"))
            atTheEnd.emplace_back(event.id, FramePeer::field(event, 4));
    });
    wire::Message message;
    std::uint64_t relayed = 0;
    for (; relayed < count && relay.nextEvent(message, "ChannelProviderMessage"); ++relayed)
        relay.request(forwarded + message.id, "client_dispatch",
                      FramePeer::dispatch(r, relayId, FramePeer::field(message, 4)));
    endReader.join();
    ASSERT_EQ(relayed, count);
    ASSERT_EQ(atTheEnd.size(), count);
    EXPECT_EQ(threadCount(service_->pid()), threads);

    ASSERT_FALSE(late.call(2, "create_provider", FramePeer::channel(late.connect(), "late")).isError());
    for (std::uint64_t i = 0; i < count; ++i) {
        ASSERT_TRUE(waiter.next(message));
        EXPECT_EQ(message.result.kind, Result::Kind::Text) << message.result.text;
    }
    for (const auto& event : atTheEnd)
        end.reply(event.first, Result::ofText(event.second));
    for (std::uint64_t i = 0; i < count && relay.next(message);)
        if (message.kind == wire::Kind::Response) {
            relay.reply(message.id - forwarded, message.result);
            ++i;
        }
    std::uint64_t answered = 0;
    while (answered < count && client.next(message))
        if (message.kind == wire::Kind::Response) {
            EXPECT_EQ(message.result.text, "p" + std::to_string(message.id - 10));
            ++answered;
        }
    EXPECT_EQ(answered, count);
    EXPECT_EQ(threadCount(service_->pid()), threads);
}

// A stopped client process is noticed by its silence and detached as if it
// had died; its provider's broadcasts to the others carry on.
TEST_F(AService, KeepsBroadcastingToTheOthersWhileOneClientProcessIsStopped)
{
    start(9712);
    std::unique_ptr<Child> provider(startPeer({"provider", "9712"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    std::unique_ptr<Child> stopped(startPeer({"listener", "9712"}));
    ASSERT_FALSE(stopped->lineWith("listening").empty());
    RuntimeFactory factory;
    auto runtime = connectedRuntime(factory, 9712, "awake");
    auto client = runtime->getChannels()->createClient("load");
    std::atomic<int> ticks{0};
    client->registerTopic("tick", [&ticks](std::shared_ptr<std::string>, EndpointId) {
        ++ticks;
        return std::shared_ptr<std::string>();
    });
    client->connectAsync(true).get();
    client->dispatchAsync("ticks", "").get();
    const auto ticksWithin = [&ticks](int more, std::chrono::milliseconds limit) {
        const int seen = ticks.load();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (ticks.load() < seen + more && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        return ticks.load() >= seen + more;
    };
    ASSERT_TRUE(ticksWithin(3, 5s));

    stopped->signal(SIGSTOP);
    const auto stop = std::chrono::steady_clock::now();
    EXPECT_THAT(provider->lineWith("left ", 12s), HasSubstr("left listener-"));
    EXPECT_TRUE(ticksWithin(
        3, std::chrono::duration_cast<std::chrono::milliseconds>(12s - (std::chrono::steady_clock::now() - stop))));
    runtime->disconnectAsync().get();
}

// A provider that takes its events but never answers them: what the
// service holds for it stays small however much passes through, and past
// the bound of unanswered events it is dropped and every waiting call fails.
TEST_F(AService, BoundsWhatItHoldsForAPeerThatNeverAnswers)
{
    start(9713);
    const std::string path = runtimeDirectory.socketFor(9713);
    FramePeer sink(path), client(path);
    const std::uint64_t s = sink.connect(), c = client.connect();
    ASSERT_FALSE(sink.call(2, "create_provider", FramePeer::channel(s, "sink")).isError());
    const std::string clientId = client.call(2, "connect_to_provider", FramePeer::channel(c, "sink")).text;
    const std::string mebibyte(1u << 20, 'm');
    wire::Message message;
    constexpr std::uint64_t large = 48;
    for (std::uint64_t i = 0; i < large; ++i) {
        client.request(10 + i, "client_dispatch", FramePeer::dispatch(c, clientId, mebibyte));
        ASSERT_TRUE(sink.nextEvent(message, "ChannelProviderMessage"));
    }
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer holds freed memory back on purpose
    EXPECT_LT(residentBytes(service_->pid()), std::size_t{32} << 20);
#endif

    constexpr std::uint64_t unansweredBound = 16384;
    for (std::uint64_t i = 0; i < unansweredBound; ++i)
        client.request(1000 + i, "client_dispatch", FramePeer::dispatch(c, clientId, "small"));
    while (sink.next(message, 10s)) {
    }
    EXPECT_TRUE(closedByPeerWithin(sink.fd(), 1s));
    std::uint64_t failed = 0;
    while (failed < large + unansweredBound && client.next(message, 10s))
        failed += message.kind == wire::Kind::Response && message.result.isError() ? 1 : 0;
    EXPECT_EQ(failed, large + unansweredBound);
}

// At the descriptor limit the acceptor waits instead of spinning, and
// serves again once descriptors free up.
TEST_F(AService, BacksOffAtTheDescriptorLimitAndServesAgainOnceDescriptorsFree)
{
    start(9714);
    const pid_t pid = service_->pid();
    const auto open =
        static_cast<rlim_t>(std::distance(std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"),
                                          std::filesystem::directory_iterator()));
    rlimit usual{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &usual), 0);
    const rlimit limit{open + 2, usual.rlim_max};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<int> connections;
    for (int i = 0; i < 8; ++i)
        connections.push_back(rawConnection(runtimeDirectory.socketFor(9714)));
    std::this_thread::sleep_for(200ms);
    const auto before = cpuTime(pid);
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuTime(pid) - before, 200ms);

    // The limit goes back first: the sanitizers' own checks need a spare
    // descriptor while the service ends the sessions it took at the limit.
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &usual, nullptr), 0);
    for (const int fd : connections)
        ::close(fd);
    RuntimeFactory factory;
    RuntimeOptions options("after-the-limit", "stable");
    options.port = 9714;
    auto runtime = factory.getRuntimeInstance(options);
    auto connecting = runtime->connectAsync();
    ASSERT_EQ(connecting.wait_for(5s), std::future_status::ready);
    EXPECT_NO_THROW(connecting.get());
    runtime->disconnectAsync().get();
}

// The service as `status --json` reports it, or null when none answers.
nlohmann::json statusOf(int port)
{
    Child status({HALVORA_RUNTIME_PATH, "status", "--port", std::to_string(port), "--json"});
    const std::string out = status.rest();
    return status.exitWithin(5s) == 0 ? nlohmann::json::parse(out) : nlohmann::json();
}

std::string procStat(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto name = text.rfind(')');                                        // none when the process has just gone
    return name == std::string::npos ? std::string() : text.substr(name + 2); // state, ppid, pgrp, session, ...
}

bool gone(pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (::kill(pid, 0) == 0 && procStat(pid)[0] != 'Z') {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

int zombieChildren()
{
    int zombies = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::istringstream fields(procStat(std::stoi(name)));
        std::string state;
        pid_t parent = 0;
        fields >> state >> parent;
        zombies += state == "Z" && parent == ::getpid() ? 1 : 0;
    }
    return zombies;
}

RuntimeOptions onPort(const std::string& uuid, int port, const std::string& arguments,
                      RuntimeOptions::RuntimeConnectOptions connect = RuntimeOptions::RuntimeConnectOptions::Default)
{
    RuntimeOptions options(uuid, "stable");
    options.port = port;
    options.arguments = arguments;
    options.runtimeConnectOptions = connect;
    return options;
}

// Services that applications started are stopped by whoever started them
// last: the test, whatever happened.
class AnApplicationOnAPortWithNoService : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const pid_t pid : started_)
            if (!gone(pid, 0ms))
                ::kill(pid, SIGTERM);
    }
    pid_t servicePid(int port)
    {
        const auto status = statusOf(port);
        const pid_t pid = status.is_null() ? -1 : status.at("pid").get<pid_t>();
        if (pid > 0)
            started_.push_back(pid);
        return pid;
    }
    std::vector<pid_t> started_;
};

TEST_F(AnApplicationOnAPortWithNoService, StartsOneDetachedServiceWhenTwoApplicationsConnectAtOnce)
{
    RuntimeFactory factory;
    auto only =
        factory.getRuntimeInstance(onPort("only", 9721, "", RuntimeOptions::RuntimeConnectOptions::ConnectOnly));
    EXPECT_THROW(only->connectAsync().get(), HalvoraApiException);
    EXPECT_FALSE(std::filesystem::exists(runtimeDirectory.socketFor(9721)));

    std::unique_ptr<Child> provider(startPeer({"provider", "9721", "--idle-exit 30"}));
    auto racer = factory.getRuntimeInstance(onPort("racer", 9721, "--idle-exit 30"));
    auto other = factory.getRuntimeInstance(onPort("other", 9721, "--idle-exit 30"));
    auto racing = other->connectAsync();
    racer->connectAsync().get();
    racing.get();
    ASSERT_FALSE(provider->lineWith("ready", 20s).empty());
    auto client = racer->getChannels()->createClient("load");
    client->connectAsync(true).get();
    EXPECT_EQ(*client->dispatchAsync("echo", "one service").get(), "one service");

    const pid_t service = servicePid(9721);
    ASSERT_GT(service, 0);
    const auto status = statusOf(9721);
    EXPECT_EQ(status.at("runtimes").size(), 3u);
    EXPECT_EQ(status.at("idle_exit_seconds"), 30); // the options' arguments came last
    std::istringstream fields(procStat(service));
    std::string state;
    pid_t parent = 0;
    pid_t group = 0;
    pid_t session = 0;
    fields >> state >> parent >> group >> session;
    EXPECT_NE(parent, ::getpid());
    EXPECT_NE(session, ::getsid(0));
    EXPECT_EQ(zombieChildren(), 0);
    racer->disconnectAsync().get();
    other->disconnectAsync().get();
}

TEST_F(AnApplicationOnAPortWithNoService, FindsAServiceThatStopsWhenIdleAndStartsAgainOnTheNextConnect)
{
    RuntimeFactory factory;
    auto runtime = factory.getRuntimeInstance(onPort("idle", 9722, "--idle-exit 1"));
    runtime->connectAsync().get();
    const pid_t first = servicePid(9722);
    ASSERT_GT(first, 0);
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(statusOf(9722).is_object()) << "stopped with a runtime connected";
    runtime->disconnectAsync().get();
    EXPECT_TRUE(gone(first, 5s));
    EXPECT_FALSE(std::filesystem::exists(runtimeDirectory.socketFor(9722)));

    RuntimeFactory again;
    auto next = again.getRuntimeInstance(onPort("again", 9722, "--idle-exit 1"));
    next->connectAsync().get();
    const pid_t second = servicePid(9722);
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    next->disconnectAsync().get();
    EXPECT_TRUE(gone(second, 5s));
}

TEST_F(AService, ReportsItsRuntimesChannelsAndWaitingCallsAndSaysWhenNoneAnswers)
{
    start(9723);
    std::unique_ptr<Child> provider(startPeer({"provider", "9723"}));
    ASSERT_FALSE(provider->lineWith("ready").empty());
    RuntimeFactory factory;
    std::vector<std::shared_ptr<ChannelClient>> clients;
    for (const char* uuid : {"first", "second"}) {
        clients.push_back(connectedRuntime(factory, 9723, uuid)->getChannels()->createClient("load"));
        clients.back()->connectAsync(true).get();
    }
    EXPECT_THAT(service_->lineWith("connected"),
                HasSubstr("<6>halvora-runtime: runtime 1 (pid " + std::to_string(provider->pid()) +
                          ", uuid \"provider\") connected"));
    auto slow = clients[0]->dispatchAsync("slow", "x");
    ASSERT_FALSE(provider->lineWith("slow started").empty());

    const auto status = statusOf(9723);
    ASSERT_TRUE(status.is_object());
    EXPECT_EQ(status.at("runtimes").size(), 3u);
    EXPECT_EQ(status.at("waiting_calls"), 1);
    const auto& channel = status.at("channels").at(0);
    EXPECT_EQ(channel.at("name"), "load");
    EXPECT_EQ(channel.at("clients"), 2);
    EXPECT_EQ(channel.at("provider").at("uuid"), "provider");
    EXPECT_EQ(channel.at("provider").at("pid"), provider->pid());

    Child text({HALVORA_RUNTIME_PATH, "status", "--port", "9723"});
    const std::string printed = text.rest();
    EXPECT_THAT(printed, HasSubstr("runtimes:      3"));
    EXPECT_THAT(printed, HasSubstr("\"load\"  provider handle 1 (pid " + std::to_string(provider->pid()) +
                                   ", uuid \"provider\")  clients 2"));
    EXPECT_THAT(printed, HasSubstr("waiting calls: 1"));
    slow.wait();

    Child none({HALVORA_RUNTIME_PATH, "status", "--port", "9729"});
    EXPECT_THAT(none.rest(), HasSubstr("no runtime service answers"));
    EXPECT_EQ(none.exitWithin(5s), 1);
}

std::string onPath(const std::string& program)
{
    for (const char* folder : {"/usr/bin", "/bin", "/usr/local/bin"})
        if (::access((std::string(folder) + "/" + program).c_str(), X_OK) == 0)
            return std::string(folder) + "/" + program;
    return {};
}

TEST(ASocketActivatedService, ServesOnTheSocketItIsHandedAndLeavesItToTheManagerWhenIdle)
{
    const std::string activate = onPath("systemd-socket-activate");
    if (activate.empty())
        GTEST_SKIP() << "systemd-socket-activate is missing (Debian package systemd)";
    const std::string socket = runtimeDirectory.socketFor(9724);
    std::filesystem::create_directories(std::filesystem::path(socket).parent_path());
    ::chmod(std::filesystem::path(socket).parent_path().c_str(), 0700);
    Child manager({activate, "-l", socket, HALVORA_RUNTIME_PATH, "--idle-exit", "1"});
    ASSERT_FALSE(manager.lineWith("Listening on").empty());

    RuntimeFactory factory;
    auto runtime =
        factory.getRuntimeInstance(onPort("activated", 9724, "", RuntimeOptions::RuntimeConnectOptions::ConnectOnly));
    runtime->connectAsync().get();
    EXPECT_EQ(statusOf(9724).at("started_by"), "socket activation");
    runtime->disconnectAsync().get();
    EXPECT_EQ(manager.exitWithin(5s), 0);
    EXPECT_TRUE(std::filesystem::exists(socket));
}

} // namespace
