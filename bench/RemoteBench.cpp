// Round trips between two processes: through the runtime service (a provider
// process and a client process with one runtime each) beside the floor, a
// raw length-prefixed ping-pong over a Unix socket between two processes.
// The contenders are interleaved in shuffled rounds, so each is sampled over
// the same stretch of time; the best round is compared with the best, as a
// thread wake-up on a shared virtual machine costs a few µs in one round and
// ten times that in the next. A second floor puts a broker in the middle: a
// raw relay process (one thread, epoll) between the caller and an echo
// process, as the service sits between a client and its provider; it is what
// routing through a third process costs before any library work. Prints a
// Markdown table.
//   halvora_bench_remote [rounds]             the whole run
//   halvora_bench_remote echo PATH            the floor's echo process
//   halvora_bench_remote relay PATH ECHO      the relay floor's broker
//   halvora_bench_remote relayclient PATH SECONDS  one-at-a-time 16 B trips, prints per second
//   halvora_bench_remote provider PORT        the service's provider process
//   halvora_bench_remote client PORT SECONDS  dispatches pipelined, prints per second
#include <HalvoraAdapterApi/HalvoraAdapterApi.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

using namespace HalvoraAdapterApi;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kPort = 9301;
const std::vector<std::size_t> kSizes = {16, 1024, 65536};

[[noreturn]] void fail(const std::string& why)
{
    std::cerr << "halvora_bench_remote: " << why << std::endl;
    std::exit(1);
}

void readExactly(int fd, void* into, std::size_t length)
{
    auto* at = static_cast<char*>(into);
    while (length > 0) {
        const ssize_t got = ::read(fd, at, length);
        if (got <= 0)
            std::exit(0); // the other side left
        at += got;
        length -= static_cast<std::size_t>(got);
    }
}

void writeExactly(int fd, const void* from, std::size_t length)
{
    const auto* at = static_cast<const char*>(from);
    while (length > 0) {
        const ssize_t sent = ::write(fd, at, length);
        if (sent <= 0)
            fail("floor write failed");
        at += sent;
        length -= static_cast<std::size_t>(sent);
    }
}

// One gathering write of a length, an optional tag and the bytes, as a
// lean broker would write a frame.
void writeFrame(int fd, std::uint32_t length, const std::int32_t* tag, const char* bytes, std::size_t size)
{
    iovec pieces[3] = {{&length, sizeof length},
                       {const_cast<std::int32_t*>(tag), tag != nullptr ? sizeof *tag : 0},
                       {const_cast<char*>(bytes), size}};
    const std::size_t total = sizeof length + pieces[1].iov_len + size;
    const ssize_t sent = ::writev(fd, pieces, 3);
    if (sent < 0)
        fail("relay write failed");
    if (static_cast<std::size_t>(sent) == total)
        return;
    std::vector<char> rest; // the socket took part of it: the remainder as one block
    for (const iovec& piece : pieces)
        rest.insert(rest.end(), static_cast<char*>(piece.iov_base), static_cast<char*>(piece.iov_base) + piece.iov_len);
    writeExactly(fd, rest.data() + sent, rest.size() - static_cast<std::size_t>(sent));
}

sockaddr_un addressOf(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

// The floor's other process: every length-prefixed frame goes straight back.
int echo(const std::string& path)
{
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = addressOf(path);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1))
        fail("the echo process cannot listen");
    std::cout << "ready" << std::endl;
    const int fd = ::accept(listener, nullptr, nullptr);
    std::vector<char> frame;
    for (;;) {
        std::uint32_t length = 0;
        readExactly(fd, &length, sizeof length);
        frame.resize(length);
        readExactly(fd, frame.data(), length);
        writeExactly(fd, &length, sizeof length);
        writeExactly(fd, frame.data(), length);
    }
}

int connectTo(const std::string& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = addressOf(path);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fail("cannot reach " + path);
    return fd;
}

// The relay floor's broker: a frame from a caller goes to the echo process
// tagged with the caller's number, and the echo's answer back to that caller.
int relay(const std::string& path, const std::string& echoPath)
{
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = addressOf(path);
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 16))
        fail("the relay cannot listen");
    const int upstream = connectTo(echoPath);
    const int poller = ::epoll_create1(0);
    epoll_event event{EPOLLIN, {}};
    event.data.fd = listener;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
    event.data.fd = upstream;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, upstream, &event);
    std::cout << "ready" << std::endl;
    std::vector<char> frame;
    epoll_event ready[16];
    for (;;) {
        const int count = ::epoll_wait(poller, ready, 16, -1);
        for (int i = 0; i < count; ++i) {
            const int fd = ready[i].data.fd;
            std::uint32_t length = 0;
            if (fd == listener) {
                event.data.fd = ::accept(listener, nullptr, nullptr);
                ::epoll_ctl(poller, EPOLL_CTL_ADD, event.data.fd, &event);
            } else if (fd == upstream) { // length, the caller's descriptor, the bytes
                readExactly(upstream, &length, sizeof length);
                frame.resize(length);
                readExactly(upstream, frame.data(), length);
                std::int32_t caller = 0;
                std::memcpy(&caller, frame.data(), sizeof caller);
                writeFrame(caller, length - sizeof caller, nullptr, frame.data() + sizeof caller,
                           length - sizeof caller);
            } else if (::recv(fd, &length, sizeof length, MSG_WAITALL) != sizeof length) {
                ::close(fd); // that caller is done
            } else {
                frame.resize(length);
                readExactly(fd, frame.data(), length);
                writeFrame(upstream, length + sizeof fd, &fd, frame.data(), length);
            }
        }
    }
}

// One 16 B trip at a time through the relay for `seconds`; trips per second.
int relayClient(const std::string& path, double seconds)
{
    const int fd = connectTo(path);
    std::vector<char> frame(4 + 16, 'x');
    const std::uint32_t length = 16;
    std::memcpy(frame.data(), &length, sizeof length);
    std::cout << "go" << std::endl;
    char byte;
    if (::read(0, &byte, 1) != 1)
        return 1;
    std::size_t done = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        writeExactly(fd, frame.data(), frame.size());
        readExactly(fd, frame.data(), frame.size());
        ++done;
    }
    std::cout << static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count() << std::endl;
    return 0;
}

std::shared_ptr<Runtime> connected(RuntimeFactory& factory, int port, const std::string& uuid)
{
    RuntimeOptions options(uuid, "stable");
    options.port = port;
    auto runtime = factory.getRuntimeInstance(options);
    runtime->connectAsync().get();
    return runtime;
}

int provide(int port)
{
    RuntimeFactory factory;
    auto runtime = connected(factory, port, "bench-provider");
    auto provider = runtime->getChannels()->createProvider("bench");
    provider->registerTopic("echo", [](std::shared_ptr<std::string> payload, EndpointId) { return payload; });
    provider->openAsync().get();
    std::cout << "ready" << std::endl;
    char byte;
    while (::read(0, &byte, 1) > 0) {
    } // until the driver closes our input
    runtime->disconnectAsync().get();
    return 0;
}

std::string payloadOf(std::size_t size)
{
    std::string text(size, 'x');
    text.front() = '"';
    text.back() = '"';
    return text;
}

// Dispatches with up to `window` in flight for `seconds`; dispatches per second.
double pipelined(const std::shared_ptr<ChannelClient>& client, double seconds, std::size_t window)
{
    const auto payload = payloadOf(16);
    std::vector<std::shared_future<std::shared_ptr<std::string>>> calls;
    std::size_t done = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        calls.clear();
        for (std::size_t i = 0; i < window; ++i)
            calls.push_back(client->dispatchAsync("echo", payload));
        for (auto& call : calls)
            call.get();
        done += window;
    }
    return static_cast<double>(done) / std::chrono::duration<double>(Clock::now() - start).count();
}

int clientProcess(int port, double seconds)
{
    RuntimeFactory factory;
    auto runtime = connected(factory, port, "bench-client-" + std::to_string(::getpid()));
    auto client = runtime->getChannels()->createClient("bench");
    client->connectAsync(true).get();
    client->dispatchAsync("echo", payloadOf(16)).get();
    std::cout << "go" << std::endl;
    char byte;
    if (::read(0, &byte, 1) != 1) // all clients start together
        return 1;
    std::cout << pipelined(client, seconds, 200) << std::endl;
    runtime->disconnectAsync().get();
    return 0;
}

// A child process of this program with its standard input and output on pipes.
struct Child {
    explicit Child(std::vector<std::string> args)
    {
        int in[2];
        int out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0)
            fail("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            fail("cannot start " + args[0]);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input = in[1];
        output = ::fdopen(out[0], "r");
    }
    ~Child()
    {
        ::close(input);
        int status = 0;
        for (int i = 0; i < 300 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        std::fclose(output);
    }
    std::string line()
    {
        char buffer[256] = {};
        if (std::fgets(buffer, sizeof buffer, output) == nullptr)
            fail("a child process ended early");
        return buffer;
    }
    pid_t pid = -1;
    int input = -1;
    std::FILE* output = nullptr;
};

void waitForSocket(const std::string& path)
{
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

int callsFor(std::size_t size)
{
    return size >= 65536 ? 300 : 2000;
}

struct Samples {
    std::vector<double> values;
    double best(bool higherIsBetter) const
    {
        return higherIsBetter ? *std::max_element(values.begin(), values.end())
                              : *std::min_element(values.begin(), values.end());
    }
    double median() const
    {
        auto sorted = values;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

std::string fixed(double value, int digits)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string rate(double perSecond)
{
    return perSecond >= 1e6 ? fixed(perSecond / 1e6, 2) + "M" : fixed(perSecond / 1e3, 1) + "k";
}

int run(const std::string& self, int rounds)
{
    char base[] = "/tmp/halvora-bench-XXXXXX";
    const std::string dir = ::mkdtemp(base);
    ::setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    const std::string socket = dir + "/halvora/runtime-" + std::to_string(kPort) + ".sock";
    Child service({HALVORA_RUNTIME_PATH, "--port", std::to_string(kPort)});
    waitForSocket(socket);
    Child echoProcess({self, "echo", dir + "/floor.sock"});
    echoProcess.line();
    Child relayEcho({self, "echo", dir + "/relay-echo.sock"});
    relayEcho.line();
    Child relayProcess({self, "relay", dir + "/relay.sock", dir + "/relay-echo.sock"});
    relayProcess.line();
    Child providerProcess({self, "provider", std::to_string(kPort)});
    providerProcess.line();

    const int floorFd = connectTo(dir + "/floor.sock");
    const int relayFd = connectTo(dir + "/relay.sock");
    std::map<std::size_t, std::vector<char>> frames;
    for (std::size_t size : kSizes) {
        auto& frame = frames[size];
        frame.resize(4 + size, 'x');
        const auto length = static_cast<std::uint32_t>(size);
        std::memcpy(frame.data(), &length, 4);
    }
    std::vector<char> back(4 + 65536);
    const auto rawTrip = [&](int fd, std::size_t size) {
        writeExactly(fd, frames[size].data(), frames[size].size());
        readExactly(fd, back.data(), 4 + size);
    };
    const auto floorTrip = [&](std::size_t size) { rawTrip(floorFd, size); };
    const auto relayTrip = [&](std::size_t size) { rawTrip(relayFd, size); };

    RuntimeFactory factory;
    auto runtime = connected(factory, kPort, "bench-client");
    auto client = runtime->getChannels()->createClient("bench");
    client->connectAsync(true).get();
    std::map<std::size_t, std::string> payloads;
    for (std::size_t size : kSizes)
        payloads[size] = payloadOf(size);
    const auto serviceTrip = [&](std::size_t size) { client->dispatchAsync("echo", payloads[size]).get(); };

    // Each contender: a name and one round's measurement (µs per trip, or per second).
    std::vector<std::pair<std::string, std::function<double()>>> contenders;
    for (std::size_t size : kSizes) {
        const std::pair<const char*, std::function<void(std::size_t)>> trips[] = {
            {"floor ", floorTrip}, {"relay ", relayTrip}, {"service ", serviceTrip}};
        for (const auto& [kind, trip] : trips) {
            contenders.emplace_back(kind + std::to_string(size), [trip = trip, size] {
                const int calls = callsFor(size);
                trip(size);
                const auto start = Clock::now();
                for (int i = 0; i < calls; ++i)
                    trip(size);
                return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
            });
        }
    }
    constexpr int burst = 10000;
    contenders.emplace_back("floor pipelined", [&] {
        const auto start = Clock::now();
        std::thread writer([&] {
            for (int i = 0; i < burst; ++i)
                writeExactly(floorFd, frames[16].data(), frames[16].size());
        });
        for (int i = 0; i < burst; ++i)
            readExactly(floorFd, back.data(), 4 + 16);
        writer.join();
        return burst / std::chrono::duration<double>(Clock::now() - start).count();
    });
    contenders.emplace_back("service pipelined", [&] {
        std::vector<std::shared_future<std::shared_ptr<std::string>>> calls;
        calls.reserve(burst);
        const auto start = Clock::now();
        for (int i = 0; i < burst; ++i)
            calls.push_back(client->dispatchAsync("echo", payloads[16]));
        for (auto& call : calls)
            call.get();
        return burst / std::chrono::duration<double>(Clock::now() - start).count();
    });
    const auto processes = [&](int count, bool raw) {
        std::vector<std::unique_ptr<Child>> clients;
        for (int i = 0; i < count; ++i)
            clients.push_back(
                std::make_unique<Child>(raw ? std::vector<std::string>{self, "relayclient", dir + "/relay.sock", "1.5"}
                                            : std::vector<std::string>{self, "client", std::to_string(kPort), "1.5"}));
        for (auto& one : clients)
            one->line();
        for (auto& one : clients)
            writeExactly(one->input, "g", 1);
        double total = 0;
        for (auto& one : clients)
            total += std::stod(one->line());
        return total;
    };
    contenders.emplace_back("1 client process", [&] { return processes(1, false); });
    contenders.emplace_back("4 client processes", [&] { return processes(4, false); });
    contenders.emplace_back("1 relay client", [&] { return processes(1, true); });
    contenders.emplace_back("4 relay clients", [&] { return processes(4, true); });

    std::map<std::string, Samples> samples;
    std::mt19937 shuffle(std::random_device{}());
    for (int round = 0; round < rounds; ++round) {
        std::shuffle(contenders.begin(), contenders.end(), shuffle);
        for (auto& [name, measure] : contenders)
            samples[name].values.push_back(measure());
    }
    runtime->disconnectAsync().get();
    ::close(floorFd);
    ::close(relayFd);

    std::cout << "Round trips between two processes, " << rounds << " interleaved rounds (µs; best round, median)\n\n"
              << "| payload | floor best | floor median | relay best | service best | service median | best / best | "
                 "goal | relay / floor | service / relay |\n"
              << "|---|---|---|---|---|---|---|---|---|---|\n";
    for (std::size_t size : kSizes) {
        const Samples& floor = samples["floor " + std::to_string(size)];
        const Samples& relayed = samples["relay " + std::to_string(size)];
        const Samples& through = samples["service " + std::to_string(size)];
        const double ratio = through.best(false) / floor.best(false);
        const double goal = size >= 65536 ? 2.0 : 4.0;
        std::cout << "| " << (size >= 1024 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B")
                  << " | " << fixed(floor.best(false), 1) << " | " << fixed(floor.median(), 1) << " | "
                  << fixed(relayed.best(false), 1) << " | " << fixed(through.best(false), 1) << " | "
                  << fixed(through.median(), 1) << " | " << fixed(ratio, 1) << "x | <= " << fixed(goal, 0) << "x "
                  << (ratio <= goal ? "met" : "MISSED") << " | " << fixed(relayed.best(false) / floor.best(false), 1)
                  << "x | " << fixed(through.best(false) / relayed.best(false), 1) << "x |\n";
    }
    const Samples& one = samples["1 client process"];
    const Samples& four = samples["4 client processes"];
    std::cout << "\n| requests/s, 16 B | best | median | ratio (best) | goal |\n|---|---|---|---|---|\n"
              << "| floor, " << burst << " pipelined | " << rate(samples["floor pipelined"].best(true)) << " | "
              << rate(samples["floor pipelined"].median()) << " | | |\n"
              << "| service, " << burst << " pipelined | " << rate(samples["service pipelined"].best(true)) << " | "
              << rate(samples["service pipelined"].median()) << " | "
              << fixed(samples["service pipelined"].best(true) / samples["floor pipelined"].best(true), 3)
              << "x floor | |\n"
              << "| 1 client process, 200 in flight | " << rate(one.best(true)) << " | " << rate(one.median())
              << " | | |\n"
              << "| 4 client processes, 200 in flight each | " << rate(four.best(true)) << " | " << rate(four.median())
              << " | " << fixed(four.best(true) / one.best(true), 2) << "x one | >= 3x "
              << (four.best(true) >= 3 * one.best(true) ? "met" : "MISSED") << " |\n"
              << "| relay floor, 1 client process, one at a time | " << rate(samples["1 relay client"].best(true))
              << " | " << rate(samples["1 relay client"].median()) << " | | |\n"
              << "| relay floor, 4 client processes, one at a time each | "
              << rate(samples["4 relay clients"].best(true)) << " | " << rate(samples["4 relay clients"].median())
              << " | " << fixed(samples["4 relay clients"].best(true) / samples["1 relay client"].best(true), 2)
              << "x one | |" << std::endl;
    std::filesystem::remove_all(dir);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    ::signal(SIGPIPE, SIG_IGN);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "echo" && argc > 2)
        return echo(argv[2]);
    if (mode == "provider" && argc > 2)
        return provide(std::atoi(argv[2]));
    if (mode == "relay" && argc > 3)
        return relay(argv[2], argv[3]);
    if (mode == "relayclient" && argc > 3)
        return relayClient(argv[2], std::atof(argv[3]));
    if (mode == "client" && argc > 3)
        return clientProcess(std::atoi(argv[2]), std::atof(argv[3]));
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
    return run(std::filesystem::canonical("/proc/self/exe").string(), std::max(1, rounds));
}
