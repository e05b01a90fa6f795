// The runtime service with applications in separate processes: the service
// and peer applications are started as child processes, and the test
// process itself is one more application where it needs to watch futures.
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace HalvoraAdapterApi;
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
};

Child* startService(int port)
{
    auto* service = new Child({HALVORA_RUNTIME_PATH, "--port", std::to_string(port), "--stall-limit-ms", "500"});
    if (service->lineWith("listening").empty())
        throw std::runtime_error("the runtime service did not start");
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
            EXPECT_EQ(service_->exitWithin(5s), 0);
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

// Prints round-trip figures of the embedded runtime next to the service's.
struct Figures {
    double latencyMicros;
    double perSecond;
};

Figures measure(const std::shared_ptr<ChannelClient>& client)
{
    constexpr int sequential = 1000;
    constexpr int pipelined = 5000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < sequential; ++i)
        client->dispatchAsync("echo", "x").get();
    const std::chrono::duration<double, std::micro> single = std::chrono::steady_clock::now() - start;
    std::vector<std::shared_future<std::shared_ptr<std::string>>> calls;
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < pipelined; ++i)
        calls.push_back(client->dispatchAsync("echo", std::to_string(i)));
    for (int i = 0; i < pipelined; ++i)
        EXPECT_EQ(*calls[static_cast<std::size_t>(i)].get(), std::to_string(i));
    const std::chrono::duration<double> burst = std::chrono::steady_clock::now() - start;
    return {single.count() / sequential, pipelined / burst.count()};
}

TEST_F(AService, ReportsRoundTripFiguresNextToTheEmbeddedRuntime)
{
    RuntimeFactory factory;
    auto providerRuntime = connectedRuntime(factory, 0, "local-provider");
    auto provider = providerRuntime->getChannels()->createProvider("load");
    provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
    provider->openAsync().get();
    auto localRuntime = connectedRuntime(factory, 0, "local-client");
    auto local = localRuntime->getChannels()->createClient("load");
    local->connectAsync(true).get();
    const Figures inProcess = measure(local);

    start(9708);
    std::unique_ptr<Child> peer(startPeer({"provider", "9708"}));
    ASSERT_FALSE(peer->lineWith("ready").empty());
    auto remoteRuntime = connectedRuntime(factory, 9708, "remote-client");
    auto remote = remoteRuntime->getChannels()->createClient("load");
    remote->connectAsync(true).get();
    const Figures crossProcess = measure(remote);

    std::cout << "round trip, in-process:    " << inProcess.latencyMicros << " us, " << inProcess.perSecond
              << " dispatches/s pipelined\n"
              << "round trip, cross-process: " << crossProcess.latencyMicros << " us, " << crossProcess.perSecond
              << " dispatches/s pipelined" << std::endl;
    for (const auto& runtime : {remoteRuntime, localRuntime, providerRuntime})
        runtime->disconnectAsync().get();
}

} // namespace
