// Manifest launches: how URLs, manifests and Windows paths are read (tables),
// and what a started child gets (arguments, folder, signals) and that it is reaped.
#include "FakeRuntime.h"
#include "core/ManifestLauncher.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

using namespace halvora::adapter;
using HalvoraStress::eventually;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

// What the URL or manifest reader makes of its input: the path, the name and
// command ("name|program|argument..."), or "error:" and the message.
std::string readOf(const std::string& input)
{
    try {
        if (input[0] != '{' && input[0] != '[')
            return pathFromFileUrl(input);
        const Manifest manifest = parseManifest(input);
        std::string read = manifest.name;
        for (const std::string& part : manifest.command)
            read += "|" + part;
        return read;
    } catch (const std::runtime_error& e) {
        return std::string("error:") + e.what();
    }
}

TEST(AManifestUrlOrManifest, NamesALocalPathOrAnApplicationOrIsRefusedWithAClearError)
{
    const std::string url = "error:the manifest URL '", manifestIs = "error:the manifest";
    // clang-format off
    const std::pair<std::string, std::string> read[] = {
        {"file:///srv/app.json", "/srv/app.json"}, {"FILE://localhost/a%20b.json", "/a b.json"},
        {"file:///%41%4a%4A%61%6a%6A%7e%30%39%2F.json?x=1#top", "/AJJajj~09/.json"}, {"file:///%46%66%2f%09", "/Ff/\t"},
        {"https://example.invalid/app.json", url + "https://example.invalid/app.json' is not supported"},
        {"file:/", url + "file:/' is not supported"}, {"file://", url + "file://' has no path"},
        {"file://elsewhere/app.json", url + "file://elsewhere/app.json' names the host 'elsewhere'"},
        {R"({"name": "App", "command": ["/bin/app", "", "a b"]})", "App|/bin/app||a b"},
        {"{\"name\": ", manifestIs + " is not valid JSON"}, {"[]", manifestIs + " must be a JSON object"},
        {R"({"name": "x", "command": ["x\u0000y"]})", manifestIs + "'s \"command\" must not contain NUL"},
        {R"({"name": "x", "command": ["", "y"]})", manifestIs + "'s \"command\" must start with the program"}};
    // clang-format on
    for (const auto& [input, expected] : read)
        EXPECT_EQ(readOf(input).substr(0, expected.size()), expected);
    for (const char* escape : {"%", "%4", "%4g", "%g4", "%G0", "%00", "%@0", "%:0/", "%/0"})
        EXPECT_THAT(readOf(std::string("file:///a") + escape), HasSubstr("has an invalid percent escape"));
    for (const char* name :
         {R"({"command": ["x"]})", R"({"name": 1, "command": []})", R"({"name": "", "command": []})"})
        EXPECT_EQ(readOf(name), R"(error:the manifest's "name" must be a non-empty string)");
    for (const char* command : {R"({"name": "x"})", R"({"name": "x", "command": "x"})",
                                R"({"name": "x", "command": []})", R"({"name": "x", "command": ["x", 1]})"})
        EXPECT_EQ(readOf(command), R"(error:the manifest's "command" must be a non-empty array of strings)");
}

TEST(WindowsPaths, AreReadAsWindowsReadsThem)
{
    using namespace windows;
    // clang-format off
    const std::pair<std::string, std::string> read[] = {
        {withoutDriveSlash("/C:/dir/app.json"), "C:/dir/app.json"}, {withoutDriveSlash("/z:"), "z:"},
        {directoryOf("C:/dir/app.json"), "C:/dir"}, {directoryOf("C:\\dir\\app.json"), "C:\\dir"},
        {directoryOf("C:/app.json"), "C:/"}, {directoryOf("/app.json"), "/"},
        {errorText("Access is denied.\r\n", 5), "Access is denied"}, {errorText("", 5), "Windows error 5"},
        {errorText("\r\n.", 2), "Windows error 2"}};
    const std::pair<std::wstring, std::wstring> quoted[] = {
        {L"plain", L"plain"}, {L"", L"\"\""}, {L"a b", L"\"a b\""}, {L"tab\there", L"\"tab\there\""},
        {L"back\\slash", L"back\\slash"}, {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"trailing \\", L"\"trailing \\\\\""}, {L"a\\\"b", L"\"a\\\\\\\"b\""}};
    // clang-format on
    for (const auto& [got, expected] : read)
        EXPECT_EQ(got, expected);
    for (const auto& [argument, expected] : quoted)
        EXPECT_EQ(quotedArgument(argument), expected);
    for (const char* kept : {"/C", "/1:/x", "//:x", "/CC:/x", "C:/x", "/"})
        EXPECT_EQ(withoutDriveSlash(kept), kept);
    std::string rooted, inFolder;
    for (const char* program : {"/bin/x", "\\bin\\x", "C:x", "C:\\x", "bin/x", "bin\\x", "x"}) {
        rooted += isRooted(program) ? '1' : '0';
        inFolder += namesAFolder(program) ? '1' : '0';
    }
    EXPECT_EQ(rooted, "1111000");
    EXPECT_EQ(inFolder, "1111110");
}

#if !defined(_WIN32)
class ALaunch : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(folder / "my app"); }
    void TearDown() override { fs::remove_all(folder); }

    // Writes the manifest into "my app/" and launches it through its escaped URL.
    Result launch(const std::string& manifest)
    {
        std::ofstream(folder / "my app" / "app.json") << manifest;
        return launcher.launch("file://" + folder.string() + "/my%20app/app.json");
    }
    const fs::path folder = fs::temp_directory_path() / ("halvora-launch-" + std::to_string(std::random_device{}()));
    ManifestLauncher launcher;
};

TEST_F(ALaunch, StartsTheChildInTheManifestsFolderWithItsArgumentsAndDefaultSignalsReapsItAndRefusesWhatItCannotStart)
{
    // The shell writes its arguments one a line, then its blocked and ignored signals, read by its own
    // builtins: a shell waiting for a child has every signal blocked.
    nlohmann::json command = {"/bin/sh", "-c", R"(printf '%s\n' "$@" > out.tmp && while read -r key mask; do
        case $key in Sig[BI]*) echo "$key $mask";; esac; done < /proc/$$/status >> out.tmp && mv out.tmp out.txt)",
                              "sh"};
    std::string expected;
    for (const char* argument : {"plain", "with space", "", "a \"quoted\" word", "trailing\\", "tab\t"}) {
        command.push_back(argument);
        expected += argument + std::string("\n");
    }
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    const auto handler = std::signal(SIGUSR2, SIG_IGN);
    const Result reply = launch(nlohmann::json{{"name", "Probe"}, {"command", command}}.dump());
    std::signal(SIGUSR2, handler);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    ASSERT_EQ(reply.kind, Result::Kind::Text) << reply.text;
    EXPECT_EQ(nlohmann::json::parse(reply.text).at("name"), "Probe");
    ASSERT_TRUE(eventually([&] { return fs::exists(folder / "my app" / "out.txt"); })); // once the child wrote it
    const std::string out{std::istreambuf_iterator<char>(std::ifstream(folder / "my app" / "out.txt").rdbuf()), {}};
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    const auto mask = [&](const std::string& name) { return std::stoull(out.substr(out.find(name) + 8), nullptr, 16); };
    EXPECT_EQ(mask("SigBlk: ") & (1u << (SIGUSR1 - 1)), 0u) << "the caller's blocked signals are not the child's";
    EXPECT_EQ(mask("SigIgn: ") & (1u << (SIGUSR2 - 1)), 0u) << "nor are the ones it ignores";

    EXPECT_EQ(launcher.launch("file:///").text, "cannot read the manifest '/': not a regular file");
    EXPECT_EQ(launcher.launch("file:///nonexistent/app.json").text,
              "cannot read the manifest '/nonexistent/app.json': No such file or directory");
    EXPECT_EQ(launch(R"({"name": "x", "command": ["/nonexistent/program"]})").text,
              "cannot start '/nonexistent/program' of the application 'x': No such file or directory");
    // Up to 1 MiB is read; past it the manifest is refused.
    const std::string manifest = R"({"name": "t", "command": ["true"]})";
    EXPECT_THAT(launch(manifest + std::string(1024 * 1024 + 1 - manifest.size(), ' ')).text,
                HasSubstr("larger than 1 MiB"));
    std::ofstream(folder / "my app" / "run.sh") << "#!/bin/sh\ntouch ran\n";
    fs::permissions(folder / "my app" / "run.sh", fs::perms::owner_all);
    EXPECT_EQ(launch(R"({"name": "t", "command": ["./run.sh"]})").kind, Result::Kind::Text);
    EXPECT_TRUE(eventually([&] { return fs::exists(folder / "my app" / "ran"); }));

    // Each child is reaped (a zombie keeps its /proc entry until then), also by a reaper started again after a
    // stop; the launcher's end stops the last reaper.
    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            launcher.stop(); // with no child left, at once
        const Result reply = launch(manifest + std::string(1024 * 1024 - manifest.size(), ' '));
        ASSERT_EQ(reply.kind, Result::Kind::Text) << reply.text;
        const auto pid = nlohmann::json::parse(reply.text).at("pid").get<pid_t>();
        EXPECT_TRUE(eventually([&] { return pid > 0 && !fs::exists("/proc/" + std::to_string(pid)); }));
    }
}
#endif

} // namespace
