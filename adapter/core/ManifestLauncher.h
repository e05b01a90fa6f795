// Starts applications described by local JSON manifests and reaps them.
#pragma once

#include "core/Result.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace halvora::adapter {

struct Manifest {
    std::string name;
    std::vector<std::string> command; // program first, then its arguments
};

// Parses a manifest; throws std::runtime_error with a message fit for the caller.
Manifest parseManifest(const std::string& text);

// The local path a file:// URL names; throws std::runtime_error otherwise.
std::string pathFromFileUrl(const std::string& url);

// Windows path and command-line rules, apart from the Windows calls that use
// them, so that every platform's tests check them.
namespace windows {
std::string withoutDriveSlash(const std::string& urlPath);       // "/C:/x" -> "C:/x"
std::string directoryOf(const std::string& path);                // "C:/x" for "C:/x/a.json", "C:/" for "C:a.json"
bool isRooted(const std::string& program);                       // begins at a root or names a drive
bool namesAFolder(const std::string& program);                   // else it is looked up in PATH
std::string errorText(std::string message, unsigned long error); // a system message without its line end
std::wstring quotedArgument(const std::wstring& argument);       // as the C runtime's parser reads it back
} // namespace windows

class ManifestLauncher {
public:
    ManifestLauncher() = default;
    ManifestLauncher(const ManifestLauncher&) = delete;
    ManifestLauncher& operator=(const ManifestLauncher&) = delete;
    ~ManifestLauncher();

    // Reads the manifest, starts its command without a shell and answers
    // with the JSON text {"name": ..., "pid": ...}.
    Result launch(const std::string& manifestUrl);

    // Joins the reaper. Children that still run are reaped once a later
    // launch starts the reaper again.
    void stop();

private:
    void watch(pid_t child);
    void reapUntilStopped(std::uint64_t generation);

    std::mutex childrenMutex_; // guards children_, generation_ and reaper_
    std::condition_variable childrenChanged_;
    std::vector<pid_t> children_;
    std::uint64_t generation_ = 0; // a reaper runs while its generation is current
    std::thread reaper_;
};

} // namespace halvora::adapter
