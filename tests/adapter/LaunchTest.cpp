// Manifest launches: how URLs, manifests and Windows paths are read (tables),
// and what a started child gets (arguments, folder) and that it is reaped.
#include "core/ManifestLauncher.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

using namespace halvora::adapter;
namespace fs = std::filesystem;

namespace {

// What a reader makes of its input: the result, or "error:" and the message.
template <typename Read>
std::string readAs(Read&& read)
{
    try {
        return read();
    } catch (const std::runtime_error& e) {
        return std::string("error:") + e.what();
    }
}

struct Row {
    std::string input;
    std::string read; // the result, or the start of "error:<message>"
};

class AManifestUrl : public ::testing::TestWithParam<Row> {};

TEST_P(AManifestUrl, NamesALocalPathOrIsRefusedWithAClearError)
{
    EXPECT_EQ(readAs([&] { return pathFromFileUrl(GetParam().input); }).substr(0, GetParam().read.size()),
              GetParam().read);
}

INSTANTIATE_TEST_SUITE_P(
    Urls, AManifestUrl,
    ::testing::Values(Row{"file:///srv/app.json", "/srv/app.json"}, Row{"FILE://localhost/a%20b.json", "/a b.json"},
                      Row{"file:///%41%4a%4A%61%6a%6A%7e%30%39%2F.json?x=1#top", "/AJJajj~09/.json"},
                      Row{"file:///%46%66%2f", "/Ff/"}, Row{"file:///a%", "error:the manifest URL 'file:///a%' has"},
                      Row{"file:///a%4", "error:the manifest URL"}, Row{"file:///a%4g", "error:the manifest URL"},
                      Row{"file:///a%g4", "error:the manifest URL"}, Row{"file:///a%G0", "error:the manifest URL"},
                      Row{"file:///a%00", "error:the manifest URL"}, Row{"file:///a%@0", "error:the manifest URL"},
                      Row{"file:///a%:0/", "error:the manifest URL"},
                      Row{"https://example.invalid/app.json", "error:the manifest URL 'https://example.invalid/"},
                      Row{"file:/", "error:the manifest URL 'file:/' is not supported"},
                      Row{"file://elsewhere/app.json", "error:the manifest URL 'file://elsewhere/app.json' names"},
                      Row{"file://", "error:the manifest URL 'file://' has no path"}));

class AManifest : public ::testing::TestWithParam<Row> {};

TEST_P(AManifest, NamesAnApplicationAndItsCommandOrIsRefused)
{
    EXPECT_EQ(readAs([&] {
                  const Manifest m = parseManifest(GetParam().input);
                  std::string read = m.name;
                  for (const std::string& part : m.command) {
                      read += "|" + part;
                  }
                  return read;
              }).substr(0, GetParam().read.size()),
              GetParam().read);
}

const std::string badCommand = R"(error:the manifest's "command" must be a non-empty array of strings)";

INSTANTIATE_TEST_SUITE_P(
    Manifests, AManifest,
    ::testing::Values(Row{R"({"name": "App", "command": ["/bin/app", "", "a b"]})", "App|/bin/app||a b"},
                      Row{"{\"name\": ", "error:the manifest is not valid JSON"},
                      Row{"[]", "error:the manifest must be a JSON object"},
                      Row{R"({"command": ["x"]})", R"(error:the manifest's "name" must be a non-empty string)"},
                      Row{R"({"name": 1, "command": ["x"]})", "error:the manifest's \"name\""},
                      Row{R"({"name": "", "command": ["x"]})", "error:the manifest's \"name\""},
                      Row{R"({"name": "x"})", badCommand}, Row{R"({"name": "x", "command": "x"})", badCommand},
                      Row{R"({"name": "x", "command": []})", badCommand},
                      Row{R"({"name": "x", "command": ["x", 1]})", badCommand},
                      Row{R"({"name": "x", "command": ["x\u0000y"]})", "error:the manifest's \"command\" must not"},
                      Row{R"({"name": "x", "command": ["", "y"]})", "error:the manifest's \"command\" must start"}));

TEST(WindowsPaths, AreReadAsWindowsReadsThem)
{
    EXPECT_EQ(windows::withoutDriveSlash("/C:/dir/app.json"), "C:/dir/app.json");
    EXPECT_EQ(windows::withoutDriveSlash("/z:"), "z:");
    for (const char* kept : {"/C", "/1:/x", "//:x", "/CC:/x", "C:/x", "/"}) {
        EXPECT_EQ(windows::withoutDriveSlash(kept), kept);
    }
    EXPECT_EQ(windows::directoryOf("C:/dir/app.json"), "C:/dir");
    EXPECT_EQ(windows::directoryOf("C:\\dir\\app.json"), "C:\\dir");
    EXPECT_EQ(windows::directoryOf("C:/app.json"), "C:/");
    EXPECT_EQ(windows::directoryOf("/app.json"), "/");
    for (const char* rooted : {"/bin/x", "\\bin\\x", "C:x", "C:\\x"}) {
        EXPECT_TRUE(windows::isRooted(rooted)) << rooted;
    }
    for (const char* relative : {"bin/x", "x", "bin\\x"}) {
        EXPECT_FALSE(windows::isRooted(relative)) << relative;
    }
    for (const char* inFolder : {"bin/x", "bin\\x", "C:x"}) {
        EXPECT_TRUE(windows::namesAFolder(inFolder)) << inFolder;
    }
    EXPECT_FALSE(windows::namesAFolder("app.exe"));
    EXPECT_EQ(windows::errorText("Access is denied.\r\n", 5), "Access is denied");
    EXPECT_EQ(windows::errorText("", 5), "Windows error 5");
    EXPECT_EQ(windows::errorText("\r\n.", 2), "Windows error 2");
    EXPECT_EQ(windows::quotedArgument(L"plain"), L"plain");
    EXPECT_EQ(windows::quotedArgument(L""), L"\"\"");
    EXPECT_EQ(windows::quotedArgument(L"a b"), L"\"a b\"");
    EXPECT_EQ(windows::quotedArgument(L"tab\there"), L"\"tab\there\"");
    EXPECT_EQ(windows::quotedArgument(L"back\\slash"), L"back\\slash");
    EXPECT_EQ(windows::quotedArgument(L"say \"hi\""), L"\"say \\\"hi\\\"\"");
    EXPECT_EQ(windows::quotedArgument(L"trailing \\"), L"\"trailing \\\\\"");
    EXPECT_EQ(windows::quotedArgument(L"a\\\"b"), L"\"a\\\\\\\"b\"");
}

#if !defined(_WIN32)
class ALaunch : public ::testing::Test {
protected:
    void SetUp() override
    {
        folder = fs::temp_directory_path() / ("halvora-launch-" + std::to_string(std::random_device{}()));
        fs::create_directories(folder / "my app");
    }
    void TearDown() override
    {
        launcher.stop();
        fs::remove_all(folder);
    }

    // Writes the manifest into "my app/" and launches it through its escaped URL.
    Result launch(const std::string& manifest)
    {
        std::ofstream(folder / "my app" / "app.json") << manifest;
        return launcher.launch("file://" + folder.string() + "/my%20app/app.json");
    }

    static bool eventually(const std::function<bool()>& condition)
    {
        for (int i = 0; i < 500 && !condition(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return condition();
    }

    fs::path folder;
    ManifestLauncher launcher;
};

TEST_F(ALaunch, PassesEveryArgumentUnchangedAndStartsInTheManifestsFolder)
{
    const std::vector<std::string> arguments = {"plain", "with space", "", "a \"quoted\" word", "trailing\\", "tab\t"};
    nlohmann::json command = {HALVORA_LAUNCH_PROBE};
    for (const auto& argument : arguments) {
        command.push_back(argument);
    }
    const Result reply = launch(nlohmann::json{{"name", "Probe"}, {"command", command}}.dump());
    ASSERT_EQ(reply.kind, Result::Kind::Text) << reply.text;
    EXPECT_EQ(nlohmann::json::parse(reply.text).at("name"), "Probe");
    ASSERT_TRUE(eventually([&] { return fs::exists(folder / "my app" / "arguments.txt"); }));
    std::ostringstream written;
    written << std::ifstream(folder / "my app" / "arguments.txt").rdbuf();
    std::string expected;
    for (const auto& argument : arguments) {
        expected += argument + "\n";
    }
    EXPECT_EQ(written.str(), expected);
}

TEST_F(ALaunch, ResolvesAProgramNextToTheManifestOrOnThePathAndReapsIt)
{
    std::ofstream(folder / "my app" / "run.sh") << "#!/bin/sh\ntouch ran\n";
    fs::permissions(folder / "my app" / "run.sh", fs::perms::owner_all);
    EXPECT_EQ(launch(R"({"name": "t", "command": ["./run.sh"]})").kind, Result::Kind::Text);
    EXPECT_TRUE(eventually([&] { return fs::exists(folder / "my app" / "ran"); }));

    const Result reply = launch(R"({"name": "t", "command": ["true"]})");
    ASSERT_EQ(reply.kind, Result::Kind::Text) << reply.text;
    const auto pid = nlohmann::json::parse(reply.text).at("pid").get<pid_t>();
    EXPECT_GT(pid, 0);
    // A zombie keeps its /proc entry until its parent reaps it.
    EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
}

TEST_F(ALaunch, RefusesWhatItCannotReadOrStart)
{
    EXPECT_EQ(launcher.launch("file:///").text, "cannot read the manifest '/': not a regular file");
    EXPECT_EQ(launcher.launch("file:///nonexistent/app.json").text,
              "cannot read the manifest '/nonexistent/app.json': No such file or directory");
    EXPECT_EQ(launch(R"({"name": "x", "command": ["/nonexistent/program"]})").text,
              "cannot start '/nonexistent/program' of the application 'x': No such file or directory");
    // Up to 1 MiB is read; past it the manifest is refused.
    const std::string manifest = R"({"name": "t", "command": ["true"]})";
    EXPECT_EQ(launch(manifest + std::string(1024 * 1024 - manifest.size(), ' ')).kind, Result::Kind::Text);
    EXPECT_NE(launch(manifest + std::string(1024 * 1024 + 1 - manifest.size(), ' ')).text.find("larger than 1 MiB"),
              std::string::npos);
}
#endif

} // namespace
