// The runtime service with applications in separate processes. The service
// runs as a child process; the test process hosts its runtimes and peers
// that speak frames themselves. Where a bound must be reached to the byte,
// a session runs in this process instead, on a socket pair.
#include "../adapter/FakeRuntime.h"
#include "../stress/StressSupport.h"
#include "NativeAdapter.h"
#include "Outcome.h"
#include "service/Service.h"
#include "wire/Frames.h"

#include <HalvoraAdapterApi/HalvoraAdapterApi.h>
#include <halvora_embedded.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace HalvoraAdapterApi;
using halvora::adapter::Result;
using halvora::adapter::testing::FakeRuntime;
namespace service = halvora::adapter::service;
namespace wire = halvora::adapter::wire;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using HalvoraStress::eventually;
using HalvoraTest::outcome;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Connect = RuntimeOptions::RuntimeConnectOptions;

namespace {

std::string runtimeDir; // this test process's own XDG_RUNTIME_DIR

std::string socketFor(int port)
{
    return runtimeDir + "/halvora/runtime-" + std::to_string(port) + ".sock";
}

bool readable(int fd, Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now());
    pollfd ready{fd, POLLIN, 0};
    return left.count() > 0 && ::poll(&ready, 1, static_cast<int>(left.count())) > 0;
}

// A child process whose standard output and error go to a file the test reads.
class Child {
public:
    explicit Child(std::vector<std::string> args)
    {
        static std::atomic<int> children{0};
        out_ = runtimeDir + "/child-" + std::to_string(++children) + ".out";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        const int failed = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0)
            throw std::runtime_error("cannot start " + args[0]);
    }
    ~Child()
    {
        if (pid_ > 0 && ::kill(pid_, SIGKILL) == 0)
            ::waitpid(pid_, nullptr, 0);
    }

    // Whether it has printed `text` within 10 s.
    bool says(const std::string& text) const
    {
        return eventually([&] { return output().find(text) != std::string::npos; });
    }
    std::string output() const
    {
        std::ifstream file(out_);
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }
    // The exit status, or -1 while it still runs after `limit`.
    int exitWithin(Ms limit)
    {
        int status = 0;
        if (!eventually([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, limit))
            return -1;
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::string out_;
};

std::vector<std::uint8_t> dispatchMap(std::uint64_t handle, const std::string& clientId, const std::string& payload,
                                      const char* topic = "t")
{
    return nlohmann::json::to_msgpack(
        {{"handle", handle}, {"client_id", clientId}, {"topic", topic}, {"payload_json", payload}, {"is_null", false}});
}

std::vector<std::uint8_t> channelMap(std::uint64_t handle, const char* name, bool wait = false)
{
    return nlohmann::json::to_msgpack({{"handle", handle}, {"provider_name", name}, {"wait", wait}});
}

// A peer that speaks frames itself: it holds calls open, or misbehaves, in
// ways an application on the library cannot.
class FramePeer {
public:
    struct Adopt {
        int fd;
    };
    explicit FramePeer(Adopt connected) : fd_(connected.fd) {}
    explicit FramePeer(int port) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        socketFor(port).copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to the service");
    }
    ~FramePeer() { ::close(fd_); }

    // Blocks until all is sent: a stream socket takes a blocking send whole.
    void send(const std::vector<std::uint8_t>& frame)
    {
        if (::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
            throw std::runtime_error("the service stopped reading");
    }
    // `caller`: the handle whose event thread makes the call, if any.
    void request(std::uint64_t id, const char* op, const std::vector<std::uint8_t>& map, std::uint64_t caller = 0)
    {
        send(wire::encodeRequest(id, op, map.data(), map.size(), caller));
    }
    // The next frame that is not a heartbeat; false once the service closed
    // the connection or nothing came within 10 s.
    bool next(wire::Message& message)
    {
        const auto deadline = Clock::now() + 10s;
        for (;;) {
            while (reader_.next(message))
                if (message.kind != wire::Kind::Heartbeat)
                    return true;
            const ssize_t got = readable(fd_, deadline) ? ::read(fd_, reader_.space(1 << 16), 1 << 16) : 0;
            if (got <= 0)
                return false;
            reader_.commit(static_cast<std::size_t>(got));
        }
    }
    // The next "ChannelProviderMessage" event: its id and payload.
    bool nextMessage(std::pair<std::uint64_t, std::string>& event)
    {
        wire::Message message;
        while (next(message))
            if (const auto fields = nlohmann::json::from_msgpack(message.bytes);
                message.kind == wire::Kind::Event && fields[0] == "ChannelProviderMessage") {
                event = {message.id, fields[4]};
                return true;
            }
        return false;
    }
    Result call(std::uint64_t id, const char* op, const std::vector<std::uint8_t>& map, std::uint64_t caller = 0)
    {
        request(id, op, map, caller);
        wire::Message message;
        while (next(message))
            if (message.kind == wire::Kind::Response && message.id == id)
                return message.result;
        return Result::error("no response");
    }
    // Without heartbeats unless asked: this peer sends nothing while the test waits.
    std::uint64_t connect(const std::string& uuid = "", bool heartbeats = false)
    {
        const nlohmann::json options = {{"uuid", uuid}, {"disable_heartbeating", !heartbeats}};
        return call(1, "connect", nlohmann::json::to_msgpack({{"runtime_ptr", 1}, {"runtime_options", options}}))
            .number;
    }
    bool closedWithin(Ms limit)
    {
        char byte;
        return readable(fd_, Clock::now() + limit) && ::read(fd_, &byte, 1) <= 0;
    }

private:
    int fd_;
    wire::FrameReader reader_;
};

// A field of /proc/PID/stat after the process's name: 0 its state, 1 its
// parent, 3 its session, 11 and 12 its CPU time in clock ticks, 17 its threads,
// 30 the signals it ignores.
std::string statField(pid_t pid, int index)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    std::getline(file, field, ')'); // empty when the process has just gone
    for (int i = 0; i <= index && file >> field;)
        ++i;
    return field;
}

std::size_t entries(const std::string& folder)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// The service as `status --json` reports it, or null when none answers.
nlohmann::json statusOf(int port)
{
    Child status({HALVORA_RUNTIME_PATH, "status", "--port", std::to_string(port), "--json"});
    return status.exitWithin(5s) == 0 ? nlohmann::json::parse(status.output()) : nlohmann::json();
}

// A service on its port, the provider of "load" in this process ("echo"
// answers its payload, "slow" answers once released, "huge" answers 5 MiB,
// over the frame bound) and its clients.
class AService : public ::testing::Test {
protected:
    void start(int port, const char* logLevel = "info")
    {
        port_ = port;
        service_ = std::make_unique<Child>(std::vector<std::string>{
            HALVORA_RUNTIME_PATH, "--port", std::to_string(port), "--stall-limit-ms", "500", "--log-level", logLevel});
        // The line that scripts wait for comes on standard output, beside the log line.
        if (!service_->says("halvora-runtime: listening on " + socketFor(port) + "\n"))
            throw std::runtime_error("the runtime service did not say that it listens");
    }
    void TearDown() override
    {
        gate->released = true;
        factory.reset();
        if (service_) {
            ::kill(service_->pid(), SIGTERM);
            EXPECT_EQ(service_->exitWithin(5s), 0) << service_->output();
        } else if (const auto status = statusOf(port_); status.is_object()) // started by an application
            ::kill(status.at("pid").get<pid_t>(), SIGTERM);
    }

    std::shared_ptr<Runtime> runtime(const std::string& uuid, const std::string& arguments = "",
                                     Connect connect = Connect::Default, bool quiet = false)
    {
        RuntimeOptions options(uuid, "stable");
        options.port = port_;
        options.arguments = arguments;
        options.runtimeConnectOptions = connect;
        options.disableHeartbeating = quiet;
        return factory->getRuntimeInstance(options);
    }
    std::shared_ptr<Runtime> connected(const std::string& uuid)
    {
        auto connecting = runtime(uuid);
        connecting->connectAsync().get();
        return connecting;
    }
    std::shared_ptr<ChannelProvider> provide(const std::shared_ptr<Runtime>& on)
    {
        auto provider = on->getChannels()->createProvider("load");
        provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
        provider->registerTopic("slow", [gate = gate](std::shared_ptr<std::string> payload, EndpointId) {
            ++gate->slowStarted;
            eventually([&gate] { return gate->released.load(); }, 20s);
            return payload;
        });
        provider->registerTopic("huge", [](std::shared_ptr<std::string>, EndpointId) {
            return std::make_shared<std::string>(std::size_t{5} << 20, 'x');
        });
        provider->subscribeClientDisconnected([gate = gate](const EndpointId& id) {
            std::lock_guard<std::mutex> lock(gate->leftMutex);
            gate->left += id.uuid + " ";
        });
        provider->openAsync().get();
        return provider;
    }
    std::string whoLeft()
    {
        std::lock_guard<std::mutex> lock(gate->leftMutex);
        return gate->left;
    }
    int port_ = 0;
    std::unique_ptr<Child> service_;
    // What handlers share with the test. They hold it themselves: a runtime
    // goes once its last handler has returned, which may be after the test.
    struct Gate {
        std::atomic<bool> released{false};
        std::atomic<int> slowStarted{0};
        std::mutex leftMutex;
        std::string left;
    };
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    std::unique_ptr<RuntimeFactory> factory = std::make_unique<RuntimeFactory>();
};

// The status reports the runtimes, channels and waiting calls. A client that
// dies in the middle of a dispatch and one that goes silent (a stopped
// process) are detached, and their provider hears it, while the others'
// thousands of pipelined dispatches and broadcasts carry on, none lost or
// duplicated. A peer that breaks the frame format is dropped; payloads over
// the 4 MiB frame bound, either way, fail at once with an error that names
// the bound and the connection carries on.
TEST_F(AService, ReportsAndCarriesEveryCallWhileClientsDieGoSilentOrBreakTheFrameFormat)
{
    start(9701);
    auto provider = provide(connected("provider"));
    const std::string me = std::to_string(::getpid());
    EXPECT_TRUE(service_->says("<6>halvora-runtime: runtime 1 (pid " + me + ", uuid \"provider\") connected\n"));
    auto dying = std::make_unique<FramePeer>(9701);
    FramePeer silent(9701);
    const std::uint64_t d = dying->connect("dying"), s = silent.connect("silent", true);
    ASSERT_FALSE(silent.call(2, "connect_to_provider", channelMap(s, "load")).isError());
    const std::string dyingId = dying->call(2, "connect_to_provider", channelMap(d, "load")).text;
    dying->request(3, "client_dispatch", dispatchMap(d, dyingId, "x", "slow"));
    ASSERT_TRUE(eventually([this] { return gate->slowStarted == 1; }));
    const auto status = statusOf(9701);
    const auto runtimeEntry = [](int handle, const char* uuid) {
        return nlohmann::json{{"handle", handle}, {"uuid", uuid}, {"pid", ::getpid()}};
    };
    EXPECT_EQ(status.at("runtimes"), nlohmann::json::array({runtimeEntry(1, "provider"), runtimeEntry(2, "dying"),
                                                            runtimeEntry(3, "silent")}));
    const nlohmann::json channel = {{"name", "load"}, {"clients", 2}, {"provider", runtimeEntry(1, "provider")}};
    EXPECT_EQ(status.at("channels"), nlohmann::json::array({channel}));
    EXPECT_EQ(status.at("waiting_calls"), 1);
    EXPECT_EQ(status.at("socket"), socketFor(9701));
    EXPECT_EQ(status.at("started_by"), "hand");
    Child text({HALVORA_RUNTIME_PATH, "status", "--port", "9701"});
    ASSERT_EQ(text.exitWithin(5s), 0);
    EXPECT_THAT(text.output(), ::testing::AllOf(HasSubstr("runtimes:      3"), HasSubstr("waiting calls: 1"),
                                                HasSubstr("\"load\"  provider handle 1 (pid " + me +
                                                          ", uuid \"provider\")  clients 2")));
    Child none({HALVORA_RUNTIME_PATH, "status", "--port", "9729"});
    EXPECT_TRUE(none.exitWithin(5s) == 1 && none.says("no runtime service answers")) << none.output();
    dying.reset();
    gate->released = true; // answers a client that is gone
    EXPECT_TRUE(eventually([this] { return whoLeft() == "dying "; }) && service_->says("\"dying\") went away\n"));

    const std::vector<std::string> uuids = {"first", "second", "third"};
    std::vector<std::shared_ptr<Runtime>> runtimes;
    std::vector<std::shared_future<std::shared_ptr<std::string>>> replies;
    std::atomic<int> notices{0};
    std::shared_ptr<ChannelClient> client; // the last of them
    for (const std::string& uuid : uuids) {
        client = runtimes.emplace_back(connected(uuid))->getChannels()->createClient("load");
        client->registerTopic("notice", [&notices](std::shared_ptr<std::string> payload, EndpointId) {
            notices += *payload == "hello" ? 1 : 0;
            return nullptr;
        });
        client->connectAsync(true).get();
        for (int i = 0; i < 3000; ++i)
            replies.push_back(client->dispatchAsync("echo", uuid + std::to_string(i)));
    }
    for (std::size_t i = 0; i < replies.size(); ++i)
        ASSERT_EQ(*replies[i].get(), uuids[i / 3000] + std::to_string(i % 3000));
    provider->broadcastAsync("notice", "hello").get();
    EXPECT_TRUE(eventually([this] { return whoLeft() == "dying silent "; })) << whoLeft();
    provider->broadcastAsync("notice", "hello").get();
    EXPECT_TRUE(eventually([&notices] { return notices == 6; }));

    for (const auto& [topic, payload] : {std::pair<std::string, std::string>{"huge", "x"},
                                         std::pair<std::string, std::string>{"echo", std::string(5u << 20, 'y')}}) {
        EXPECT_THAT(outcome(client->dispatchAsync(topic, payload), 5s),
                    ::testing::AllOf(StartsWith(topic == "huge" ? "error:the reply to the event" : "error:the request"),
                                     HasSubstr("4 MiB")));
        EXPECT_EQ(outcome(client->dispatchAsync("echo", "after " + topic), 5s), "value:after " + topic);
    }
    const std::string mebibyte(1u << 20, 'm'); // more than the sockets take at once
    EXPECT_TRUE(outcome(client->dispatchAsync("echo", mebibyte), 5s) == "value:" + mebibyte);
    const std::string offences[] = {
        std::string("\xff\xff\xff\xff", 4),                     // announces 4 GiB
        std::string("\x00\x40\x00\x01", 4),                     // one byte over the bound
        std::string("\x00\x00\x00\x03\xc1\xc1\xc1", 7),         // not MessagePack
        std::string("\x00\x00\x00\x01\x07", 5),                 // a number, not an array
        std::string("\x00\x00\x00\x02\x92\x07", 6),             // an array, but no message
        std::string("\x00\x00\x00\x05\x95\x01\x01\x00\xa0", 9), // a response, which only the service sends
        std::string("\x00\x00\x10\x00\x95", 5),                 // unfinished: stalls mid-frame
    };
    for (const std::string& bytes : offences) {
        FramePeer offender(9701);
        offender.send({bytes.begin(), bytes.end()});
        EXPECT_TRUE(offender.closedWithin(3s)) << "offence of " << bytes.size() << " bytes";
        EXPECT_EQ(outcome(client->dispatchAsync("echo", "still here")), "value:still here");
    }
    const std::string log = service_->output();
    const std::regex badFrame(": bad frame: ");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), badFrame), std::sregex_iterator()), 6) << log;
    EXPECT_THAT(log, HasSubstr(": stall: it stalled in the middle of a frame"));

    runtimes[0]->disconnectAsync().get();
    EXPECT_TRUE(service_->says("uuid \"first\") disconnected\n")); // told, not found gone
    EXPECT_TRUE(eventually([this] { return whoLeft() == "dying silent first "; })) << whoLeft();
    // A subscriber still running when the shutdown's bound (2 s) is up leaves its connection to the next connect.
    std::atomic<bool> told{false}, go{false};
    runtimes[1]->subscribeDisconnected([&told, &go] { told = eventually([&go] { return go.load(); }); });
    halvora_embedded_shutdown(); // ends the connections to the service, telling their runtimes
    EXPECT_EQ(outcome(runtime("meanwhile")->connectAsync()), "done"); // neither waits for the other
    const std::size_t open = entries("/proc/self/fd");
    go = true;
    EXPECT_TRUE(eventually([&] { return told && connected("after") && entries("/proc/self/fd") == open; }));
    EXPECT_THAT(service_->output(), ::testing::Not(HasSubstr("\"first\") went away"))) << "it left, told";
}

// However the service ends (killed, stopped and found silent, or told to
// stop), every call in flight fails, every runtime hears that it is
// disconnected (told so first when the service is told to stop, whose log
// then says it stopped), and no connect or destructor waits longer than the
// silence limit (5 s) and a beat.
class AServiceThatEnds : public AService, public ::testing::WithParamInterface<int> {};

TEST_P(AServiceThatEnds, FailsEveryWaitAndTellsEveryRuntimeWithinTheSilenceLimit)
{
    start(9703 + GetParam());
    provide(connected("provider"));
    auto watcher = connected("watcher");
    FakeRuntime raw("raw", port_); // on the adapter's C interface
    std::promise<void> disconnected;
    watcher->subscribeDisconnected([&disconnected] { disconnected.set_value(); });
    auto channel = watcher->getChannels()->createClient("load");
    channel->connectAsync(true).get();
    std::vector<std::shared_future<std::shared_ptr<std::string>>> calls;
    for (int i = 0; i < 3; ++i)
        calls.push_back(channel->dispatchAsync("slow", std::to_string(i)));
    ASSERT_TRUE(eventually([this] { return gate->slowStarted == 1; }));
    FramePeer peer(port_);
    peer.connect();

    ::kill(service_->pid(), GetParam());
    const auto within = [by = Clock::now() + 8s] { return std::chrono::duration_cast<Ms>(by - Clock::now()); };
    auto late = runtime("late", "", Connect::ConnectOnly);
    auto lateConnect = late->connectAsync();
    for (const auto& call : calls)
        EXPECT_THAT(outcome(call, within()), StartsWith("error:"));
    EXPECT_EQ(disconnected.get_future().wait_for(within()), std::future_status::ready);
    // A call made once the connection is gone fails with why it went.
    EXPECT_TRUE(eventually([&raw] { return !raw.events().empty(); }, within()));
    EXPECT_THAT(raw.createProvider("x"), HasSubstr(GetParam() == SIGSTOP ? "sent nothing" : "closed the connection"));
    wire::Message message;
    EXPECT_TRUE(GetParam() != SIGTERM ||
                (peer.next(message) && nlohmann::json::from_msgpack(message.bytes)[0] == "AdapterDisconnected" &&
                 service_->says("stopped\n")));
    // Settles in time; only a stopped service cannot have taken it before it ended.
    EXPECT_THAT(outcome(lateConnect, within()),
                ::testing::AnyOf(StartsWith("error:"), std::string(GetParam() == SIGSTOP ? "error:" : "done")));
    gate->released = true;
    const auto ending = Clock::now();
    late.reset();
    watcher.reset();
    factory.reset();
    EXPECT_LT(Clock::now() - ending, 6s);
    if (GetParam() == SIGSTOP) {
        Child status({HALVORA_RUNTIME_PATH, "status", "--port", std::to_string(port_)});
        EXPECT_EQ(status.exitWithin(8s), 1); // asks within a bound, too
        EXPECT_THAT(status.output(), HasSubstr("it did not answer in time"));
        ::kill(service_->pid(), SIGCONT);
    } else {
        // Ends once its peers are gone, not at the end of its flush limit (2 s).
        EXPECT_EQ(service_->exitWithin(1500ms), GetParam() == SIGTERM ? 0 : 128 + SIGKILL);
        EXPECT_EQ(fs::exists(socketFor(port_)), GetParam() == SIGKILL);
        start(port_); // in place of the stale socket a killed one leaves
        factory = std::make_unique<RuntimeFactory>();
        EXPECT_EQ(outcome(runtime("again")->connectAsync()), "done");
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, AServiceThatEnds, ::testing::Values(SIGKILL, SIGSTOP, SIGTERM),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

// The service acts for each peer with the handle it gave that peer, and a
// frame that arrives in pieces, within the stall limit, is served whole. Its
// status is UTF-8 text: a uuid comes back as the runtime gave it.
TEST_F(AService, ActsForEachPeerWithItsOwnHandleServesFramesInPiecesAndKeepsItsSocketPrivate)
{
    start(9710);
    FramePeer owner(9710), other(9710);
    const std::uint64_t o = owner.connect("Zoë"), x = other.connect();
    EXPECT_THAT(owner.call(2, "status", {}).text, HasSubstr(R"("uuid":"Zoë")"));
    EXPECT_THAT(owner.call(2, "connect", {}).text, HasSubstr("has connected its runtime already"));
    EXPECT_THAT(owner.call(2, "bogus", {}).text, HasSubstr("does not know the request 'bogus'"));
    ASSERT_FALSE(owner.call(2, "create_provider", channelMap(o, "owned")).isError());
    const std::string ownersClient = owner.call(3, "connect_to_provider", channelMap(o, "owned")).text;
    EXPECT_THAT(other.call(2, "client_dispatch", dispatchMap(o, ownersClient, "x")).text,
                HasSubstr("is not connected to a channel of this runtime"));
    EXPECT_THAT(owner.call(4, "client_dispatch", dispatchMap(o, ownersClient, "x"), o).text,
                HasSubstr("would wait for the event thread it was made from"));

    const std::vector<std::uint8_t> map = channelMap(x, "owned");
    const std::vector<std::uint8_t> frame = wire::encodeRequest(4, "connect_to_provider", map.data(), map.size(), 0);
    for (std::size_t at = 0; at < frame.size(); at += 7, std::this_thread::sleep_for(10ms))
        other.send({frame.begin() + at, frame.begin() + std::min(at + 7, frame.size())});
    wire::Message message;
    EXPECT_TRUE(other.next(message) && message.result.kind == Result::Kind::Text) << message.result.text;
    // The disconnect is answered before the connection ends, and nothing after it: not a call sent right behind.
    std::vector<std::uint8_t> last = wire::encodeRequest(5, "disconnect", nullptr, 0, 0);
    const std::vector<std::uint8_t> behind = wire::encodeRequest(6, "status", nullptr, 0, 0);
    last.insert(last.end(), behind.begin(), behind.end());
    other.send(last);
    EXPECT_TRUE(other.next(message) && message.id == 5 && !message.result.isError());
    EXPECT_FALSE(other.next(message)) << message.id;
    EXPECT_TRUE(other.closedWithin(1s));

    FakeRuntime leaving("leaving", port_);
    EXPECT_TRUE(leaving.disconnect() == "null" && leaving.events().empty()) << "a leaving runtime hears nothing";

    // A socket path with no room for its terminator is refused before any service is started for it; a
    // service that refuses its arguments is reported in its own words.
    for (const auto& [options, reason] : std::vector<std::pair<nlohmann::json, std::string>>{
             {{{"port", 10000}}, "the runtime service's socket path '" + socketFor(10000) + "' is too long"},
             {{{"port", 9707}, {"arguments", "--bogus"}}, "does not take '--bogus'"}}) {
        const auto request = nlohmann::json::to_msgpack({{"runtime_ptr", 1}, {"runtime_options", options}});
        const NativeResult refused = d_halvora_connect(
            request.data(), request.size(), [](auto...) -> std::uint8_t* { return nullptr; }, [](std::uint8_t*) {});
        EXPECT_THAT(std::string(reinterpret_cast<char*>(refused.data), refused.length), ::testing::EndsWith(reason));
        deallocate_rust_buffer(refused.data, refused.length);
    }

    // Its socket and directory are the user's alone, and it refuses a directory others can enter.
    const std::string directory = runtimeDir + "/halvora";
    EXPECT_EQ(fs::status(socketFor(9710)).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(directory).permissions(), fs::perms::owner_all);
    Child same({HALVORA_RUNTIME_PATH, "--port", "9710"});
    EXPECT_EQ(same.exitWithin(5s), 1);
    EXPECT_THAT(same.output(), HasSubstr("another runtime service already listens"));
    // Its command line: help, and values it does not take.
    const std::pair<std::vector<std::string>, int> commandLines[] = {
        {{"--help"}, 0}, {{"--log-level", "loud"}, 2}, {{"--port", "0"}, 2}, {{"--port"}, 2}};
    for (auto [args, status] : commandLines) {
        args.insert(args.begin(), HALVORA_RUNTIME_PATH);
        EXPECT_EQ(Child(args).exitWithin(5s), status) << args[1];
    }
    // One that finds the lock taken but no service answering waits for the lock: a service is stopping there.
    // Then it listens, and stops at its idle limit though no peer ever came.
    const int lock = ::open((socketFor(9709) + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    Child waiting({HALVORA_RUNTIME_PATH, "--port", "9709", "--idle-exit", "1"});
    EXPECT_EQ(waiting.exitWithin(300ms), -1);
    ::close(lock);
    EXPECT_TRUE(waiting.says("listening on") && waiting.exitWithin(5s) == 0);
    fs::permissions(directory, fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add);
    EXPECT_THROW(runtime("intruded")->connectAsync().get(), HalvoraApiException);
    EXPECT_EQ(Child({HALVORA_RUNTIME_PATH, "--port", "9708"}).exitWithin(5s), 1);
    EXPECT_EQ(Child({HALVORA_RUNTIME_PATH, "status", "--port", "9710"}).exitWithin(5s), 1) << "nor does it ask";
    fs::permissions(directory, fs::perms::owner_all);
}

// A provider that takes its events but never answers them: what the
// service holds for it stays small however much passes through. A waiting
// call is a record in the service, not a thread: 1,000 connects wait for a
// provider that comes late and 1,000 dispatches wait on the provider that
// holds its events; all are held, then all served, on the threads the
// service started with. At the descriptor limit the acceptor waits instead
// of spinning, and serves again once descriptors free up.
TEST_F(AService, HoldsLittleAndNoThreadForWhatWaitsBacksOffAtTheDescriptorLimitAndLogsFromItsLevelUp)
{
    start(9711, "notice");
    const pid_t pid = service_->pid();
    const std::string threads = statField(pid, 17);
    FramePeer sink(9711), client(9711), waiter(9711), late(9711);
    // Each connected at once, as a peer that has not connected yet counts as silent after 5 s.
    const std::uint64_t s = sink.connect(), c = client.connect(), w = waiter.connect(), l = late.connect();
    const std::string sinkName(300, 's');
    ASSERT_FALSE(sink.call(2, "create_provider", channelMap(s, sinkName.c_str())).isError());
    const std::string clientId = client.call(2, "connect_to_provider", channelMap(c, sinkName.c_str())).text;
    const std::string mebibyte(1u << 20, 'm');
    std::pair<std::uint64_t, std::string> event;
    for (std::uint64_t i = 0; i < 48; ++i) {
        client.request(5000 + i, "client_dispatch", dispatchMap(c, clientId, mebibyte));
        ASSERT_TRUE(sink.nextMessage(event));
    }
#if !defined(__SANITIZE_ADDRESS__) // the sanitizer holds freed memory back on purpose
    std::size_t pages = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> pages >> pages; // resident
    EXPECT_LT(pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)), std::size_t{32} << 20);
#endif
    // An event names its channel twice, a request not at all: a request of exactly the frame bound, which goes,
    // to a channel with a long name makes an event over it, and its caller hears why at once.
    const auto requestBody = [&](const std::string& payload) {
        const auto map = dispatchMap(c, clientId, payload);
        return wire::encodeRequest(4999, "client_dispatch", map.data(), map.size(), 0).size() - 4;
    };
    const std::string atBound(mebibyte.size() + wire::maxFrameBytes - requestBody(mebibyte), 'b');
    EXPECT_THAT(client.call(4999, "client_dispatch", dispatchMap(c, clientId, atBound)).text,
                HasSubstr("was not delivered: the event takes"));

    constexpr std::uint64_t count = 1000;
    for (std::uint64_t i = 0; i < count; ++i) {
        waiter.request(10 + i, "connect_to_provider", channelMap(w, "late", true));
        client.request(10 + i, "client_dispatch", dispatchMap(c, clientId, "p" + std::to_string(i)));
    }
    std::vector<std::pair<std::uint64_t, std::string>> held(count);
    for (auto& one : held)
        ASSERT_TRUE(sink.nextMessage(one));
    EXPECT_EQ(statField(pid, 17), threads);
    ASSERT_FALSE(late.call(2, "create_provider", channelMap(l, "late")).isError());
    wire::Message message;
    for (std::uint64_t i = 0; i < count; ++i)
        ASSERT_TRUE(waiter.next(message) && message.result.kind == Result::Kind::Text) << message.result.text;
    for (const auto& one : held)
        sink.send(wire::encodeAnswer(wire::Kind::EventReply, one.first, Result::ofText(one.second)));
    std::uint64_t answered = 0;
    while (answered < count && client.next(message))
        if (message.kind == wire::Kind::Response) {
            EXPECT_EQ(message.result.text, "p" + std::to_string(message.id - 10));
            ++answered;
        }
    EXPECT_EQ(answered, count);

#if !defined(HALVORA_CHECKS_DYNAMIC_TYPES)
    // The undefined-behaviour checker reads an object's type through a pipe
    // of its own; at the descriptor limit it cannot open one and stops the
    // service with a false "invalid vptr", wherever the service stands.
    rlimit usual{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &usual), 0);
    const rlimit limit{entries("/proc/" + std::to_string(pid) + "/fd") + 2, usual.rlim_max};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<std::unique_ptr<FramePeer>> connections;
    for (int i = 0; i < 8; ++i)
        connections.push_back(std::make_unique<FramePeer>(9711));
    EXPECT_TRUE(service_->says("); trying again every 100 ms"));
    const auto cpuTicks = [pid] { return std::stol(statField(pid, 11)) + std::stol(statField(pid, 12)); };
    const long before = cpuTicks();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(cpuTicks() - before, ::sysconf(_SC_CLK_TCK) / 5); // under 200 ms

    // The limit goes back first: the sanitizers' own checks need a spare
    // descriptor while the service ends the sessions it took at the limit.
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &usual, nullptr), 0);
    connections.clear();
    EXPECT_EQ(outcome(runtime("after-the-limit")->connectAsync(), 5s), "done");
    EXPECT_TRUE(service_->says("accepting peers again"));
    const std::string log = service_->output();
    EXPECT_EQ(log.find("accepting peers again"), log.rfind("accepting peers again")) << "said once";
#endif
    EXPECT_THAT(service_->output(), ::testing::Not(HasSubstr("<6>"))); // below its level
}

// Applications that find no service start one for their port, with their
// options' arguments: one however many race, outside their process tree,
// stopping once idle and started again by the next connect. One that a
// service manager started on its socket is used as it is.
TEST_F(AService, StartsOneDetachedServiceWhenApplicationsConnectThatStopsWhenIdleOrUsesASocketActivatedOne)
{
    port_ = 9721;

    const std::size_t open = entries("/proc/self/fd");
    std::vector<std::shared_ptr<Runtime>> racers;
    std::vector<std::future<void>> racing;
    const std::string arguments = " --log-level 'debug' --idle-exit \"1\"";
    for (const std::string uuid : {"provider", "racer", "other"}) // "other" without heartbeats
        racing.push_back(
            racers.emplace_back(runtime(uuid, arguments, Connect::Default, uuid == "other"))->connectAsync());
    for (auto& connect : racing)
        connect.get();
    provide(racers[0]);
    auto channel = racers[1]->getChannels()->createClient("load");
    channel->connectAsync(true).get();
    // Connected past its idle limit and the silence limit (5 s): heartbeats keep the runtimes, they keep it,
    // and neither side takes the one without heartbeats for gone; nor the provider, its handler running all along.
    auto waiting = racers[1]->getChannels()->createClient("late")->connectAsync(true); // reads for its runtime
    std::this_thread::sleep_for(100ms);
    auto slow = channel->dispatchAsync("slow", "still one");
    ASSERT_TRUE(eventually([this] { return gate->slowStarted == 1; }));
    racers[0]->getChannels()->createProvider("late")->openAsync().get(); // the reading goes to the slow call
    waiting.get();
    std::this_thread::sleep_for(6s);
    gate->released = true;
    EXPECT_EQ(outcome(slow), "value:still one");
    const auto status = statusOf(9721);
    EXPECT_EQ(status.at("runtimes").size(), 3u);
    EXPECT_EQ(status.at("idle_exit_seconds"), 1); // the options' arguments came last
    EXPECT_EQ(status.at("started_by"), "an application's connect");
    const pid_t service = status.at("pid");
    EXPECT_NE(statField(service, 1), std::to_string(::getpid()));
    EXPECT_NE(statField(service, 3), std::to_string(::getsid(0)));
    for (const char* stream : {"0", "1", "2"}) // none of them the application's
        EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(service) + "/fd/" + stream), "/dev/null") << stream;
    EXPECT_EQ(std::stoull(statField(service, 30)) & (1u << (SIGHUP - 1)), 0u);
    EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0); // no child of this process left unreaped

    for (const auto& racer : racers)
        racer->disconnectAsync().get();
    // None of the application's descriptors is left behind.
    EXPECT_TRUE(eventually([open] { return entries("/proc/self/fd") == open; }));
    for (int i = 0; i < 8; ++i, std::this_thread::sleep_for(250ms)) // each arrival restarts its idle time
        FramePeer arriving(9721);
    EXPECT_TRUE(eventually([service] { return ::kill(service, 0) != 0 || statField(service, 0) == "Z"; }, 5s));
    // One that may not start a service is refused at once: only a socket too busy to accept is tried again.
    EXPECT_THAT(outcome(runtime("only", "", Connect::ConnectOnly)->connectAsync(), 2s), StartsWith("error:"));
    EXPECT_FALSE(fs::exists(socketFor(9721)));

    // A service that a service manager hands the socket is found there, not started, and leaves it to the manager.
    const std::string activate = "/usr/bin/systemd-socket-activate";
    if (::access(activate.c_str(), X_OK) != 0)
        GTEST_SKIP() << "systemd-socket-activate is missing (Debian package systemd)";
    Child manager({activate, "-l", socketFor(9721), HALVORA_RUNTIME_PATH, "--idle-exit", "1"});
    ASSERT_TRUE(manager.says("Listening on"));
    auto activated = connected("activated");
    EXPECT_EQ(statusOf(9721).at("started_by"), "socket activation");
    activated->disconnectAsync().get();
    EXPECT_EQ(manager.exitWithin(5s), 0);
    EXPECT_TRUE(fs::exists(socketFor(9721)));
    // The next connect starts a service again, in place of the socket the manager left, idle for a minute at most.
    EXPECT_EQ(outcome(runtime("again")->connectAsync()), "done");
    const auto again = statusOf(9721);
    EXPECT_TRUE(again.at("pid") != service && again.at("idle_exit_seconds") == 60) << again;
}

// Sessions of the service in this process, each on a socket pair with a
// peer of the test's, for bounds small enough to reach to the byte.
struct InProcess {
    InProcess(service::PeerBounds bounds, int peers)
        : server({"", 5s, bounds, 0s, "hand"}, {::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), "", false, -1})
    {
        using Socket = asio::local::stream_protocol::socket;
        for (int i = 0; i < peers; ++i) {
            int ends[2];
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends);
            std::make_shared<service::Session>(server, Socket(server.io(), asio::local::stream_protocol(), ends[0]),
                                               ::getpid())
                ->start();
            this->peers.push_back(std::make_unique<FramePeer>(FramePeer::Adopt{ends[1]}));
        }
        loop = std::thread([this] { server.io().run(); });
    }
    // A session ends with its peer, and the loop once none is left.
    ~InProcess()
    {
        peers.clear();
        loop.join();
    }
    service::Service server;
    std::vector<std::unique_ptr<FramePeer>> peers;
    std::thread loop;
};

// What waits to be written to a peer may reach its bound: an answer of
// exactly the bound goes out; one byte less room, and the peer is dropped.
// So is a provider that leaves its bound of events unanswered, and every
// call that waits on it fails.
TEST(ASession, DropsAPeerPastItsBoundOfQueuedBytesOrOfUnansweredEvents)
{
    InProcess session({std::size_t{1} << 20, 2}, 2);
    FramePeer &sink = *session.peers[0], &client = *session.peers[1];
    const Result refused = sink.call(1, "create_provider", {});
    ASSERT_TRUE(refused.isError());
    const std::size_t answer = wire::encodeAnswer(wire::Kind::Response, 1, refused).size();
    for (const std::size_t bound : {answer, answer - 1})
        EXPECT_EQ(InProcess({bound}, 1).peers[0]->call(1, "create_provider", {}).text,
                  bound == answer ? refused.text : "no response");

    const std::uint64_t s = sink.connect(), c = client.connect();
    ASSERT_FALSE(sink.call(2, "create_provider", channelMap(s, "sink")).isError());
    const std::string clientId = client.call(2, "connect_to_provider", channelMap(c, "sink")).text;
    for (std::uint64_t i = 0; i < 3; ++i)
        client.request(10 + i, "client_dispatch", dispatchMap(c, clientId, "p"));
    std::pair<std::uint64_t, std::string> event;
    EXPECT_TRUE(sink.nextMessage(event) && sink.nextMessage(event));
    EXPECT_TRUE(sink.closedWithin(5s));
    wire::Message message;
    int failed = 0;
    while (failed < 3 && client.next(message))
        failed += message.kind == wire::Kind::Response && message.result.isError() ? 1 : 0;
    EXPECT_EQ(failed, 3);
}

} // namespace

int main(int argc, char** argv)
{
    // Set before any thread can read the environment; client processes inherit it.
    // Socket paths fill sun_path but for the terminator at 4-digit ports, leaving no room for it at 5-digit ones.
    std::string path = "/tmp/halvora-service-test-XXXXXX";
    path.insert(path.size() - 6, sizeof(sockaddr_un::sun_path) - 1 - socketFor(1000).size() - path.size(), '_');
    runtimeDir = ::mkdtemp(path.data());
    // Run as an application may: with no standard input, so that sockets and pipes
    // start at descriptor 0, and ignoring hang-ups, which no service it starts may inherit.
    ::close(0);
    std::signal(SIGHUP, SIG_IGN);
    ::setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
    ::testing::InitGoogleMock(&argc, argv);
    const int failed = RUN_ALL_TESTS();
    std::error_code ignored; // a service told to stop may be removing its socket meanwhile
    fs::remove_all(runtimeDir, ignored);
    return failed;
}
