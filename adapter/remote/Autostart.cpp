#include "remote/Autostart.h"

#include "wire/SocketPath.h"

#if !defined(_WIN32)
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;
#endif

namespace halvora::adapter::remote {

#if defined(_WIN32)

std::string startServiceIfAbsent(const ConnectRequest&, const std::string&)
{
    return {}; // the service is not built for Windows
}

#else

namespace {

// Long enough for a service that waits for an idle one to finish stopping.
constexpr auto answerLimit = std::chrono::seconds(10);
constexpr const char* programName = "halvora-runtime";

enum class Probe { Answers, Absent, Unusable };

Probe probe(const std::string& socketPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path)
        return Probe::Unusable;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Probe::Unusable;
    const int connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    const int error = errno;
    ::close(fd);
    if (connected == 0)
        return Probe::Answers;
    return error == ENOENT || error == ECONNREFUSED ? Probe::Absent : Probe::Unusable;
}

// A directory that exists but is not private stays untouched: the connect
// reports it, and a service would refuse it anyway.
bool directoryUsable(const std::string& directory)
{
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0)
        return errno == ENOENT;
    try {
        wire::checkPrivateDirectory(directory);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool executable(const std::string& path)
{
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The service that belongs to this adapter's installation comes first, found
// from where the adapter itself was loaded, then any on PATH.
std::string findProgram()
{
    static const char marker = 0;
    Dl_info info{};
    if (::dladdr(&marker, &info) != 0 && info.dli_fname != nullptr) {
        const std::string loadedFrom = info.dli_fname;
        const auto slash = loadedFrom.find_last_of('/');
        const std::string folder = slash == std::string::npos ? "." : loadedFrom.substr(0, slash);
        for (const std::string& candidate :
             {folder + "/" + HALVORA_RUNTIME_FROM_ADAPTER + "/" + programName, folder + "/" + programName})
            if (executable(candidate))
                return candidate;
    }
    const char* path = std::getenv("PATH"); // NOLINT(concurrency-mt-unsafe): read only
    std::string folders = path != nullptr ? path : "";
    for (std::size_t start = 0; start <= folders.size();) {
        auto end = folders.find(':', start);
        if (end == std::string::npos)
            end = folders.size();
        const std::string folder = end > start ? folders.substr(start, end - start) : ".";
        if (executable(folder + "/" + programName))
            return folder + "/" + programName;
        start = end + 1;
    }
    return {};
}

// The options' "arguments" as words: blanks separate them, single or double
// quotes keep blanks inside one.
bool splitArguments(const std::string& text, std::vector<std::string>& words)
{
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (const char c : text) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return quote == 0;
}

// The service leaves the application's process tree itself (it forks once
// and its first process exits at once), so the application only reaps that
// first process and is left with no child that could become a zombie.
std::string spawnDetached(const std::vector<std::string>& args, int readyWrite, pid_t& pid)
{
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, readyWrite, 3);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
#endif
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (const int signal : {SIGPIPE, SIGCHLD, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int failed = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failed == 0 ? std::string() : std::string(std::strerror(failed)); // NOLINT(concurrency-mt-unsafe)
}

// The service's first line on the "ready" descriptor, or what happened
// instead; bounded by `deadline`.
std::string readyLine(int readyRead, std::chrono::steady_clock::time_point deadline)
{
    std::string text;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{readyRead, POLLIN, 0};
        if (left.count() <= 0)
            return "it did not answer within " + std::to_string(answerLimit.count()) + " s";
        const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready == 0 || (ready < 0 && errno == EINTR))
            continue; // the deadline above tells a silent service from one that ended
        char chunk[512];
        const ssize_t got = ready > 0 ? ::read(readyRead, chunk, sizeof chunk) : -1;
        if (got < 0 && errno == EINTR)
            continue;
        if (got > 0 && text.size() < 4096) {
            text.append(chunk, static_cast<std::size_t>(got));
            continue;
        }
        if (got > 0)
            continue;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return text.empty() ? "it exited before it listened" : text;
    }
}

void reapFirstProcess(pid_t pid, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const pid_t done = ::waitpid(pid, nullptr, WNOHANG);
        // A wait that does not block is never interrupted.
        if (done != 0 || std::chrono::steady_clock::now() > deadline)
            return; // gone, or reaped by someone else's handler
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

} // namespace

std::string startServiceIfAbsent(const ConnectRequest& connect, const std::string& socketPath)
{
    if (connect.connectOptions == connectOnly || !directoryUsable(wire::directoryOf(socketPath)) ||
        probe(socketPath) != Probe::Absent)
        return {};
    const std::string program = findProgram();
    if (program.empty())
        return "no runtime service answers at '" + socketPath + "', and " + programName +
               " was found neither with the adapter nor on PATH";
    std::vector<std::string> args = {program,         "--port",     std::to_string(connect.port),
                                     "--autostarted", "--ready-fd", "3"};
    if (!splitArguments(connect.arguments, args))
        return "the runtime options' \"arguments\" have a quote that is not closed";

    int readyPipe[2];
    if (::pipe2(readyPipe, O_CLOEXEC) != 0)
        return std::string("cannot start ") + programName + ": no pipe";
    // Above the descriptors the child's are moved to, so that moving one
    // never lands on another (an application may have closed its 0 to 2).
    const int movedUp = ::fcntl(readyPipe[1], F_DUPFD_CLOEXEC, 10);
    ::close(readyPipe[1]);
    readyPipe[1] = movedUp;
    if (movedUp < 0) {
        ::close(readyPipe[0]);
        return std::string("cannot start ") + programName + ": no descriptor";
    }
    pid_t pid = -1;
    const std::string spawnFailure = spawnDetached(args, readyPipe[1], pid);
    ::close(readyPipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + answerLimit;
    std::string outcome = spawnFailure.empty() ? readyLine(readyPipe[0], deadline) : spawnFailure;
    ::close(readyPipe[0]);
    if (spawnFailure.empty())
        reapFirstProcess(pid, deadline);
    // Another application's service may have won the socket: any answer will do.
    if (outcome == "ready" || probe(socketPath) == Probe::Answers)
        return {};
    if (outcome.rfind("error: ", 0) == 0)
        outcome.erase(0, 7);
    return "could not start the runtime service " + program + ": " + outcome;
}

#endif

} // namespace halvora::adapter::remote
