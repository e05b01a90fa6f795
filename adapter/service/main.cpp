// halvora-runtime: the local runtime service that applications of other
// processes reach through the native adapter.
#include "service/Listener.h"
#include "service/Log.h"
#include "service/Service.h"
#include "service/StatusCommand.h"
#include "wire/SocketPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

// The idle limit of a service that nobody started by hand.
constexpr long defaultOnDemandIdleSeconds = 60;

void usage()
{
    std::cerr << "usage: halvora-runtime [--port N | --socket PATH] [--idle-exit SECONDS] [--log-level LEVEL]\n"
                 "                       [--stall-limit-ms N]\n"
                 "       halvora-runtime status [--port N | --socket PATH] [--json]\n"
                 "  --port N          serve runtimes whose options name port N (default "
              << halvora::adapter::wire::defaultServicePort
              << "),\n"
                 "                    on <runtime dir>/runtime-N.sock\n"
                 "  --socket PATH     serve on PATH instead\n"
                 "  --idle-exit S     stop after S seconds without a connected runtime; 0 never\n"
                 "                    (default 0, or 60 when autostarted or socket-activated)\n"
                 "  --log-level L     error, warning, notice, info (default) or debug\n"
                 "  --stall-limit-ms  drop a peer that leaves a frame unfinished this long (default 5000)\n"
                 "  status            print what the running service serves; --json for JSON\n"
                 "See halvora-runtime(1).\n";
}

bool parseNumber(const char* text, long min, long max, long& value)
{
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= min && value <= max;
}

// Tells the adapter that started this service whether it came up: "ready",
// or "error: <why>". Then the descriptor is closed.
void report(int& readyFd, const std::string& line)
{
    if (readyFd < 0)
        return;
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(readyFd, text.data(), text.size());
    ::close(readyFd);
    readyFd = -1;
}

// The process an application started exits here, once the socket is ours
// (a service that lost the socket to another has exited before), and the
// application reaps it at once: the service runs on outside the
// application's process tree and never becomes its zombie.
void leaveStartingApplication()
{
    const pid_t child = ::fork();
    if (child < 0)
        throw std::runtime_error("cannot leave the starting application's process tree");
    if (child > 0)
        ::_exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    using namespace halvora::adapter;
    service::ServiceOptions options;
    long port = wire::defaultServicePort;
    std::optional<long> idleExit;
    bool statusCommand = false;
    bool json = false;
    bool autostarted = false;
    int readyFd = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        long value = 0;
        service::LogLevel level{};
        if (arg == "status" && i == 1) {
            statusCommand = true;
        } else if (arg == "--json" && statusCommand) {
            json = true;
        } else if (arg == "--port" && hasValue && parseNumber(argv[i + 1], 1, 65535, value)) {
            port = value;
            ++i;
        } else if (arg == "--socket" && hasValue) {
            options.socketPath = argv[++i];
        } else if (arg == "--idle-exit" && hasValue && parseNumber(argv[i + 1], 0, 86400L * 365, value)) {
            idleExit = value;
            ++i;
        } else if (arg == "--log-level" && hasValue && service::parseLogLevel(argv[i + 1], level)) {
            service::setLogThreshold(level);
            ++i;
        } else if (arg == "--stall-limit-ms" && hasValue && parseNumber(argv[i + 1], 1, 3600000, value)) {
            options.stallLimit = std::chrono::milliseconds(value);
            ++i;
        } else if (arg == "--autostarted") {
            autostarted = true;
        } else if (arg == "--ready-fd" && hasValue && parseNumber(argv[i + 1], 3, 65535, value)) {
            // Only a pipe that is open now: writing to a descriptor this
            // service opens later (its socket, its lock) would do harm.
            struct stat status {};
            const int fd = static_cast<int>(value);
            if (::fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode)) {
                readyFd = fd;
                ::fcntl(readyFd, F_SETFD, FD_CLOEXEC); // not for manifests this service launches
            }
            ++i;
        } else {
            report(readyFd, "error: halvora-runtime does not take '" + arg + "'");
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    if (options.socketPath.empty())
        options.socketPath = wire::socketPathForPort(static_cast<int>(port));
    if (statusCommand)
        return service::printStatus(options.socketPath, json);

    // Signals are taken by the service's own handler; a peer that goes away
    // mid-write is an error on that peer, not the end of the service.
    std::signal(SIGPIPE, SIG_IGN);
    // Frames come and go by the megabyte: keep freed memory for the next
    // ones instead of returning it to the system and faulting it back in on
    // every round trip. What stays held is bounded by the trim threshold.
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 8 << 20);  // NOLINT(concurrency-mt-unsafe): before any thread
    mallopt(M_TRIM_THRESHOLD, 16 << 20); // NOLINT(concurrency-mt-unsafe)
#endif
    try {
        service::Listener listener = service::activatedListener();
        if (listener.activated)
            options.startedBy = "socket activation";
        else if (autostarted)
            options.startedBy = "an application's connect";
        if (listener.fd < 0)
            listener = service::bindListener(options.socketPath);
        if (autostarted && !listener.activated)
            leaveStartingApplication();
        const bool onDemand = listener.activated || autostarted;
        options.idleExit = std::chrono::seconds(idleExit.value_or(onDemand ? defaultOnDemandIdleSeconds : 0));
        options.socketPath = listener.path;
        service::Service runtimeService(options, listener);
        service::logLine(service::LogLevel::Info,
                         "listening on " + options.socketPath + " (pid " + std::to_string(::getpid()) +
                             ", started by " + options.startedBy + ", idle exit " +
                             (options.idleExit.count() > 0 ? std::to_string(options.idleExit.count()) + " s" : "off") +
                             ")");
        // Scripts that start the service wait for this line on standard
        // output; the journal has its own line on standard error.
        std::cout << "halvora-runtime: listening on " << options.socketPath << std::endl;
        report(readyFd, "ready");
        runtimeService.run();
        service::logLine(service::LogLevel::Info, "stopped");
        return 0;
    } catch (const std::exception& e) {
        report(readyFd, std::string("error: ") + e.what());
        service::logLine(service::LogLevel::Error, e.what());
        return 1;
    }
}
