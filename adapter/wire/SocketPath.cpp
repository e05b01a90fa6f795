#include "wire/SocketPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace halvora::adapter::wire {

namespace {

std::runtime_error failure(const std::string& directory, const std::string& why)
{
    return std::runtime_error("the runtime directory '" + directory + "' " + why);
}

} // namespace

std::string runtimeDirectory()
{
    // Read-only use of the environment; the adapter never writes to it.
    const char* xdg = std::getenv("XDG_RUNTIME_DIR"); // NOLINT(concurrency-mt-unsafe)
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/halvora";
    return "/tmp/halvora-" + std::to_string(::getuid());
}

std::string socketPathForPort(int port)
{
    return runtimeDirectory() + "/runtime-" + std::to_string(port) + ".sock";
}

std::string directoryOf(const std::string& socketPath)
{
    const auto slash = socketPath.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : socketPath.substr(0, slash);
}

void checkPrivateDirectory(const std::string& directory)
{
    struct stat status {};
    if (::lstat(directory.c_str(), &status) != 0)
        throw failure(directory, std::string("cannot be read: ") + std::generic_category().message(errno));
    if (!S_ISDIR(status.st_mode))
        throw failure(directory, "is not a directory");
    if (status.st_uid != ::getuid())
        throw failure(directory, "belongs to another user");
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        throw failure(directory, "is open to other users; it must have mode 0700");
}

void preparePrivateDirectory(const std::string& directory)
{
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        throw failure(directory, std::string("cannot be created: ") + std::generic_category().message(errno));
    checkPrivateDirectory(directory);
}

} // namespace halvora::adapter::wire
