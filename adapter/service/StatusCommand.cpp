#include "service/StatusCommand.h"

#include "wire/Frames.h"
#include "wire/SocketPath.h"

#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace halvora::adapter::service {

namespace {

// A service that takes longer than this to answer counts as not answering.
constexpr auto answerLimit = std::chrono::seconds(5);

class Socket {
public:
    explicit Socket(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof address.sun_path)
            throw std::runtime_error("no socket");
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error(std::strerror(errno)); // NOLINT(concurrency-mt-unsafe): one thread
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { ::close(fd_); }
    int fd() const { return fd_; }

private:
    int fd_;
};

std::string askStatus(const std::string& socketPath)
{
    wire::checkPrivateDirectory(wire::directoryOf(socketPath));
    const Socket socket(socketPath);
    const auto frame = wire::encodeRequest(1, "status", nullptr, 0, 0);
    if (::send(socket.fd(), frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
        throw std::runtime_error("it closed the connection");
    wire::FrameReader reader;
    const auto deadline = std::chrono::steady_clock::now() + answerLimit;
    for (;;) {
        wire::Message message;
        if (reader.next(message)) {
            if (message.kind != wire::Kind::Response || message.id != 1 || message.result.kind != Result::Kind::Text)
                throw std::runtime_error(message.result.isError() ? message.result.text : "it answered oddly");
            return message.result.text;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd readable{socket.fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            throw std::runtime_error("it did not answer in time");
        std::uint8_t chunk[4096];
        const ssize_t got = ::read(socket.fd(), chunk, sizeof chunk);
        if (got <= 0)
            throw std::runtime_error("it closed the connection");
        reader.append(chunk, static_cast<std::size_t>(got));
    }
}

std::string duration(long long seconds)
{
    std::string text;
    if (seconds >= 86400)
        text += std::to_string(seconds / 86400) + "d ";
    if (seconds >= 3600)
        text += std::to_string(seconds / 3600 % 24) + "h ";
    if (seconds >= 60)
        text += std::to_string(seconds / 60 % 60) + "m ";
    return text + std::to_string(seconds % 60) + "s";
}

void printText(const nlohmann::json& status)
{
    std::cout << "halvora-runtime " << status.at("pid") << " on " << status.at("socket").get<std::string>() << "\n"
              << "  started by:    " << status.at("started_by").get<std::string>() << ", up "
              << duration(status.at("uptime_seconds").get<long long>());
    const auto idle = status.at("idle_exit_seconds").get<long long>();
    std::cout << (idle > 0 ? ", stops after " + std::to_string(idle) + " s idle" : std::string()) << "\n";
    std::cout << "  runtimes:      " << status.at("runtimes").size() << "\n";
    for (const auto& runtime : status.at("runtimes"))
        std::cout << "    handle " << runtime.at("handle") << "  pid " << runtime.at("pid") << "  uuid "
                  << runtime.at("uuid") << "\n";
    std::cout << "  channels:      " << status.at("channels").size() << "\n";
    for (const auto& channel : status.at("channels")) {
        const auto& provider = channel.at("provider");
        std::cout << "    " << channel.at("name") << "  provider handle " << provider.at("handle") << " (pid "
                  << provider.at("pid") << ", uuid " << provider.at("uuid") << ")  clients " << channel.at("clients")
                  << "\n";
    }
    std::cout << "  waiting calls: " << status.at("waiting_calls") << " (and " << status.at("waiting_connects")
              << " connects waiting for a provider)" << std::endl;
}

} // namespace

int printStatus(const std::string& socketPath, bool json)
{
    std::string answer;
    try {
        answer = askStatus(socketPath);
    } catch (const std::exception& e) {
        std::cerr << "halvora-runtime: no runtime service answers at '" << socketPath << "': " << e.what() << std::endl;
        return 1;
    }
    try {
        const auto status = nlohmann::json::parse(answer);
        if (json)
            std::cout << status.dump(2) << std::endl;
        else
            printText(status);
        return 0;
    } catch (const nlohmann::json::exception& e) {
        std::cerr << "halvora-runtime: the service's status cannot be read: " << e.what() << std::endl;
        return 1;
    }
}

} // namespace halvora::adapter::service
