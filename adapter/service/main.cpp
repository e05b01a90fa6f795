// halvora-runtime: the local runtime service that applications of other
// processes reach through the native adapter.
#include "service/Log.h"
#include "service/Service.h"
#include "wire/SocketPath.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

namespace {

void usage()
{
    std::cerr << "usage: halvora-runtime [--port N | --socket PATH] [--stall-limit-ms N]\n"
                 "  --port N          serve runtimes whose options name port N (default "
              << halvora::adapter::wire::defaultServicePort
              << "),\n"
                 "                    on <runtime dir>/runtime-N.sock\n"
                 "  --socket PATH     serve on PATH instead\n"
                 "  --stall-limit-ms  drop a peer that leaves a frame unfinished this long (default 5000)\n";
}

bool parsePositive(const char* text, long max, long& value)
{
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 && value <= max;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace halvora::adapter;
    service::ServiceOptions options;
    long port = wire::defaultServicePort;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        long value = 0;
        if (arg == "--port" && i + 1 < argc && parsePositive(argv[i + 1], 65535, value)) {
            port = value;
            ++i;
        } else if (arg == "--socket" && i + 1 < argc) {
            options.socketPath = argv[++i];
        } else if (arg == "--stall-limit-ms" && i + 1 < argc && parsePositive(argv[i + 1], 3600000, value)) {
            options.stallLimit = std::chrono::milliseconds(value);
            ++i;
        } else {
            usage();
            return arg == "--help" ? 0 : 2;
        }
    }
    if (options.socketPath.empty())
        options.socketPath = wire::socketPathForPort(static_cast<int>(port));

    // Signals are taken by the service's own handler; a peer that goes away
    // mid-write is an error on that peer, not the end of the service.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        service::Service runtimeService(options);
        std::cout << "halvora-runtime: listening on " << options.socketPath << std::endl;
        runtimeService.run();
        std::cout << "halvora-runtime: stopped" << std::endl;
        return 0;
    } catch (const std::exception& e) {
        service::logLine(service::LogLevel::Error, e.what());
        return 1;
    }
}
