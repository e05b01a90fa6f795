#include "core/ManifestLauncher.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

#if defined(_WIN32)
#include <filesystem>
#include <fstream>
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace halvora::adapter {

namespace windows {

std::string directoryOf(const std::string& path)
{
    const std::size_t slash = path.find_last_of("/\\");
    const std::string folder = path.substr(0, slash);
    // "C:" alone would name the drive's current folder, not its root.
    return folder.empty() || folder.back() == ':' ? folder + "/" : folder;
}

bool isRooted(const std::string& program)
{
    return program.front() == '/' || program.front() == '\\' || (program.size() > 1 && program[1] == ':');
}

// One argument as the C runtime's command line parser reads it back:
// quoted when it has blanks or quotes or is empty, with the backslashes in
// front of a quote (or of the closing quote) doubled.
std::wstring quotedArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

bool namesAFolder(const std::string& program)
{
    return program.find_first_of("/\\") != std::string::npos || program.find(':') != std::string::npos;
}

std::string errorText(std::string message, unsigned long error)
{
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "Windows error " + std::to_string(error) : message;
}

std::string withoutDriveSlash(const std::string& path)
{
    // file:///C:/folder/app.json names C:/folder/app.json.
    if (path.size() >= 3 && path[0] == '/' && path[2] == ':' && std::isalpha(static_cast<unsigned char>(path[1])))
        return path.substr(1);
    return path;
}

} // namespace windows

namespace {

constexpr std::size_t maxManifestBytes = std::size_t{1024} * 1024;
constexpr auto reapInterval = std::chrono::milliseconds(50);

[[noreturn]] void fail(const std::string& message)
{
    throw std::runtime_error(message);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string percentDecoded(const std::string& text, const std::string& url)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        const int high = i + 2 < text.size() ? hexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            fail("the manifest URL '" + url + "' has an invalid percent escape");
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

#if defined(_WIN32)

// A Windows error code as text, for the caller's message.
std::string windowsError(DWORD error)
{
    char* text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    const std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
    LocalFree(text);
    return windows::errorText(message, error);
}

// Manifests and commands are UTF-8; Windows wants UTF-16.
std::wstring widened(const std::string& text, const std::string& what)
{
    if (text.empty())
        return std::wstring();
    const int size =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        fail(what + " is not valid UTF-8");
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::string readManifestFile(const std::string& path)
{
    namespace fs = std::filesystem;
    const fs::path file = fs::u8path(path);
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (error || !fs::exists(status))
        fail("cannot read the manifest '" + path + "': " + (error ? error.message() : "no such file"));
    if (!fs::is_regular_file(status))
        fail("cannot read the manifest '" + path + "': not a regular file");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        fail("cannot read the manifest '" + path + "': it cannot be opened");

    std::string text;
    char chunk[8192];
    while (in) {
        in.read(chunk, sizeof chunk);
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (text.size() > maxManifestBytes)
            fail("the manifest '" + path + "' is larger than 1 MiB");
    }
    if (in.bad())
        fail("cannot read the manifest '" + path + "': a read failed");
    return text;
}

using windows::directoryOf;
using windows::isRooted;
using windows::quotedArgument;

// A program without a folder is looked up in PATH only, not in the host's
// own or current folder as CreateProcessW would.
std::wstring programPath(const Manifest& manifest, const std::string& manifestDirectory)
{
    const std::string& program = manifest.command.front();
    if (windows::namesAFolder(program))
        return widened(isRooted(program) ? program : manifestDirectory + "/" + program, "the program");

    const DWORD pathSize = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    std::wstring searchPath(pathSize, L'\0');
    searchPath.resize(GetEnvironmentVariableW(L"PATH", searchPath.data(), pathSize));
    const std::wstring name = widened(program, "the program");
    std::wstring found(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = SearchPathW(searchPath.c_str(), name.c_str(), L".exe", static_cast<DWORD>(found.size()),
                                       found.data(), nullptr);
        if (size == 0)
            fail("cannot start '" + program + "' of the application '" + manifest.name + "': not found in PATH");
        if (size < found.size()) {
            found.resize(size);
            return found;
        }
        found.resize(size);
    }
}

// Starts the command without a shell, with the manifest's folder as working
// directory and none of the host's handles. Windows keeps no zombies, so
// the process handles are closed at once and nothing needs reaping.
long spawn(const Manifest& manifest, const std::string& manifestDirectory)
{
    const std::wstring program = programPath(manifest, manifestDirectory);
    std::wstring commandLine = quotedArgument(program);
    for (std::size_t i = 1; i < manifest.command.size(); ++i)
        commandLine += L" " + quotedArgument(widened(manifest.command[i], "the command"));
    const std::wstring directory = widened(manifestDirectory, "the manifest's folder");

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT,
                        nullptr, directory.c_str(), &startup, &process))
        fail("cannot start '" + manifest.command.front() + "' of the application '" + manifest.name +
             "': " + windowsError(GetLastError()));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(process.dwProcessId);
}

#else

std::string systemError(int error)
{
    return std::generic_category().message(error);
}

std::string readManifestFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail("cannot read the manifest '" + path + "': " + systemError(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat info {};
    if (::fstat(fd, &info) != 0)
        fail("cannot read the manifest '" + path + "': " + systemError(errno));
    if (!S_ISREG(info.st_mode))
        fail("cannot read the manifest '" + path + "': not a regular file");

    std::string text;
    char chunk[8192];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail("cannot read the manifest '" + path + "': " + systemError(errno));
        if (got == 0)
            return text;
        text.append(chunk, static_cast<std::size_t>(got));
        if (text.size() > maxManifestBytes)
            fail("the manifest '" + path + "' is larger than 1 MiB");
    }
}

std::string directoryOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == 0 ? "/" : path.substr(0, slash);
}

class SpawnSetup {
public:
    SpawnSetup()
    {
        posix_spawnattr_init(&attributes_);
        posix_spawn_file_actions_init(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions_);
        posix_spawnattr_destroy(&attributes_);
    }
    posix_spawnattr_t attributes_;
    posix_spawn_file_actions_t actions_;
};

// Starts the command with the manifest's folder as working directory, with
// default signal handling and an empty signal mask whatever the calling
// thread had.
pid_t spawn(const Manifest& manifest, const std::string& manifestDirectory)
{
    std::string program = manifest.command.front();
    const bool searchPath = program.find('/') == std::string::npos;
    if (!searchPath && program.front() != '/')
        program = manifestDirectory + "/" + program;

    SpawnSetup setup;
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&setup.attributes_, &signals);
    sigfillset(&signals);
    sigdelset(&signals, SIGKILL);
    sigdelset(&signals, SIGSTOP);
    posix_spawnattr_setsigdefault(&setup.attributes_, &signals);
    posix_spawnattr_setflags(&setup.attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_addchdir_np(&setup.actions_, manifestDirectory.c_str());

    std::vector<char*> argv;
    argv.reserve(manifest.command.size() + 1);
    argv.push_back(program.data());
    for (std::size_t i = 1; i < manifest.command.size(); ++i)
        argv.push_back(const_cast<char*>(manifest.command[i].c_str()));
    argv.push_back(nullptr);

    pid_t child = 0;
    const int error =
        searchPath ? posix_spawnp(&child, program.c_str(), &setup.actions_, &setup.attributes_, argv.data(), environ)
                   : posix_spawn(&child, program.c_str(), &setup.actions_, &setup.attributes_, argv.data(), environ);
    if (error != 0)
        fail("cannot start '" + manifest.command.front() + "' of the application '" + manifest.name +
             "': " + systemError(error));
    return child;
}

#endif

} // namespace

std::string pathFromFileUrl(const std::string& url)
{
    const std::string scheme = "file://";
    const bool isFile = url.size() >= scheme.size() &&
                        std::equal(scheme.begin(), scheme.end(), url.begin(),
                                   [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    if (!isFile)
        fail("the manifest URL '" + url + "' is not supported: only file:// URLs can be launched");

    const std::size_t pathStart = url.find('/', scheme.size());
    const std::string host =
        url.substr(scheme.size(), pathStart == std::string::npos ? std::string::npos : pathStart - scheme.size());
    if (!host.empty() && host != "localhost")
        fail("the manifest URL '" + url + "' names the host '" + host + "'; only local files can be launched");
    if (pathStart == std::string::npos)
        fail("the manifest URL '" + url + "' has no path");

    std::string path = url.substr(pathStart);
    path = path.substr(0, path.find_first_of("?#"));
    path = percentDecoded(path, url);
#if defined(_WIN32)
    path = windows::withoutDriveSlash(path);
#endif
    return path;
}

Manifest parseManifest(const std::string& text)
{
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        fail(std::string("the manifest is not valid JSON: ") + e.what());
    }
    if (!document.is_object())
        fail("the manifest must be a JSON object with \"name\" and \"command\"");

    Manifest manifest;
    const auto name = document.find("name");
    if (name == document.end() || !name->is_string() || name->get_ref<const std::string&>().empty())
        fail("the manifest's \"name\" must be a non-empty string");
    manifest.name = name->get<std::string>();

    const auto command = document.find("command");
    if (command == document.end() || !command->is_array() || command->empty())
        fail("the manifest's \"command\" must be a non-empty array of strings");
    for (const auto& part : *command) {
        if (!part.is_string())
            fail("the manifest's \"command\" must be a non-empty array of strings");
        const auto& text = part.get_ref<const std::string&>();
        if (text.find('\0') != std::string::npos)
            fail("the manifest's \"command\" must not contain NUL characters");
        manifest.command.push_back(text);
    }
    if (manifest.command.front().empty())
        fail("the manifest's \"command\" must start with the program to run");
    return manifest;
}

ManifestLauncher::~ManifestLauncher()
{
    stop();
}

Result ManifestLauncher::launch(const std::string& manifestUrl)
{
    try {
        const std::string path = pathFromFileUrl(manifestUrl);
        const Manifest manifest = parseManifest(readManifestFile(path));
        const auto child = spawn(manifest, directoryOf(path));
#if !defined(_WIN32)
        watch(child);
#endif
        const nlohmann::json reply = {{"name", manifest.name}, {"pid", child}};
        return Result::ofText(reply.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } catch (const std::runtime_error& e) {
        return Result::error(e.what());
    }
}

#if !defined(_WIN32)
void ManifestLauncher::watch(pid_t child)
{
    std::lock_guard<std::mutex> lock(childrenMutex_);
    children_.push_back(child);
    if (!reaper_.joinable())
        reaper_ = std::thread([this, generation = generation_] { reapUntilStopped(generation); });
    childrenChanged_.notify_all();
}
#endif

void ManifestLauncher::stop()
{
    std::thread reaper;
    {
        std::lock_guard<std::mutex> lock(childrenMutex_);
        ++generation_;
        reaper = std::move(reaper_);
    }
    childrenChanged_.notify_all();
    if (reaper.joinable()) // the reaper itself never stops the launcher
        reaper.join();
}

#if !defined(_WIN32)
// Waits only for our own children, by pid, so that the host application's
// other children are left to it.
void ManifestLauncher::reapUntilStopped(std::uint64_t generation)
{
    std::unique_lock<std::mutex> lock(childrenMutex_);
    const auto stopped = [this, generation] { return generation_ != generation; };
    while (!stopped()) {
        auto child = children_.begin();
        while (child != children_.end()) {
            int status = 0;
            const pid_t reaped = ::waitpid(*child, &status, WNOHANG);
            // A wait that does not block fails only when the child is no
            // longer ours to wait for.
            if (reaped != 0)
                child = children_.erase(child);
            else
                ++child;
        }
        if (children_.empty())
            childrenChanged_.wait(lock, [&] { return stopped() || !children_.empty(); });
        else
            childrenChanged_.wait_for(lock, reapInterval, stopped);
    }
}
#endif

} // namespace halvora::adapter
