#include "AdapterFixture.h"
#include "core/ManifestLauncher.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

using namespace halvora::adapter::testing;
namespace fs = std::filesystem;

namespace {

fs::path freshFolder()
{
    std::random_device random;
    for (;;) {
        const fs::path folder = fs::temp_directory_path() / ("halvora-launch-" + std::to_string(random()));
        if (fs::create_directory(folder))
            return folder;
    }
}

std::string fileUrl(const fs::path& file)
{
#if defined(_WIN32)
    return "file:///" + file.generic_string(); // file:///C:/...
#else
    return "file://" + file.string();
#endif
}

std::string textOf(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The probe's path as a manifest's JSON string.
std::string probeJson()
{
    return nlohmann::json(fs::path(HALVORA_LAUNCH_PROBE).generic_string()).dump();
}

class AManifestLaunch : public AdapterFixture {
protected:
    void SetUp() override
    {
        folder = freshFolder();
        runtime.connect();
    }
    void TearDown() override
    {
        AdapterFixture::TearDown();
        std::error_code ignored; // Windows keeps the folder while a child still runs in it
        fs::remove_all(folder, ignored);
    }

    std::string manifest(const std::string& text, const std::string& file = "app.json") const
    {
        std::ofstream(folder / file) << text;
        return fileUrl(folder / file);
    }

    fs::path folder;
    FakeRuntime runtime;
};

TEST_F(AManifestLaunch, PassesEveryArgumentUnchangedAndStartsInTheManifestsFolder)
{
    const std::vector<std::string> arguments = {
        "plain", "with space", "", "a \"quoted\" word", "trailing\\", "back\\slash \\\"mixed\\\\\"", "tab\there"};
    const nlohmann::json command = nlohmann::json::array({nlohmann::json::parse(probeJson())});
    nlohmann::json document = {{"name", "Probe"}, {"command", command}};
    for (const auto& argument : arguments)
        document["command"].push_back(argument);
    const Outcome reply = runtime.launch(manifest(document.dump()));
    ASSERT_EQ(reply.kind, Outcome::Kind::Text) << reply.text;
    EXPECT_EQ(nlohmann::json::parse(reply.text).at("name"), "Probe");

    ASSERT_TRUE(eventually([&] { return fs::exists(folder / "arguments.txt"); }));
    std::string expected;
    for (const auto& argument : arguments)
        expected += argument + "\n";
    EXPECT_EQ(textOf(folder / "arguments.txt"), expected);
}

#if defined(_WIN32)
TEST_F(AManifestLaunch, ResolvesAProgramRelativeToTheManifestAndDecodesPercentEscapes)
{
    const fs::path probe(HALVORA_LAUNCH_PROBE);
    fs::create_directory(folder / "bin");
    fs::copy_file(probe, folder / "bin" / probe.filename());
    const std::string command = "bin/" + probe.filename().string();
    const std::string url = manifest(R"({"name": "t", "command": [")" + command + R"("]})", "my app.json");
    const std::string escaped = url.substr(0, url.rfind(' ')) + "%20" + url.substr(url.rfind(' ') + 1);
    ASSERT_EQ(runtime.launch(escaped).kind, Outcome::Kind::Text);
    EXPECT_TRUE(eventually([&] { return fs::exists(folder / "arguments.txt"); }));
}
#else
TEST_F(AManifestLaunch, StartsTheCommandInTheManifestsFolderAndNamesTheApplicationAndItsProcess)
{
    const Outcome reply =
        runtime.launch(manifest(R"({"name": "Marker App", "command": ["/bin/sh", "-c", "echo started > marker"]})"));
    ASSERT_EQ(reply.kind, Outcome::Kind::Text) << reply.text;
    const auto json = nlohmann::json::parse(reply.text);
    EXPECT_EQ(json.at("name"), "Marker App");
    EXPECT_GT(json.at("pid").get<long>(), 0);
    EXPECT_TRUE(eventually([&] { return fs::exists(folder / "marker"); }));
}

TEST_F(AManifestLaunch, ReapsTheChildItStarted)
{
    const Outcome reply = runtime.launch(manifest(R"({"name": "t", "command": ["true"]})"));
    ASSERT_EQ(reply.kind, Outcome::Kind::Text) << reply.text;
    const auto pid = nlohmann::json::parse(reply.text).at("pid").get<pid_t>();
    // A zombie keeps its /proc entry until its parent reaps it.
    EXPECT_TRUE(eventually([&] { return !fs::exists("/proc/" + std::to_string(pid)); }));
}

TEST_F(AManifestLaunch, ResolvesAProgramRelativeToTheManifestAndDecodesPercentEscapes)
{
    std::ofstream(folder / "run.sh") << "#!/bin/sh\ntouch ran\n";
    fs::permissions(folder / "run.sh", fs::perms::owner_all);
    const std::string url = manifest(R"({"name": "t", "command": ["./run.sh"]})", "my app.json");
    const std::string escaped = url.substr(0, url.rfind(' ')) + "%20" + url.substr(url.rfind(' ') + 1);
    ASSERT_EQ(runtime.launch(escaped).kind, Outcome::Kind::Text);
    EXPECT_TRUE(eventually([&] { return fs::exists(folder / "ran"); }));
}
#endif

struct LaunchFailure {
    const char* what;
    std::string manifestText; // empty: the URL is used as given
    std::string url;
    const char* messagePart;
};

class AFailingManifestLaunch : public AManifestLaunch, public ::testing::WithParamInterface<LaunchFailure> {};

TEST_P(AFailingManifestLaunch, EndsWithAClearError)
{
    const LaunchFailure& failure = GetParam();
    const std::string url = failure.manifestText.empty() ? failure.url : manifest(failure.manifestText);
    const Outcome reply = runtime.launch(url);
    ASSERT_TRUE(reply.isError()) << failure.what;
    EXPECT_NE(reply.text.find(failure.messagePart), std::string::npos) << failure.what << ": " << reply.text;
}

INSTANTIATE_TEST_SUITE_P(
    Manifests, AFailingManifestLaunch,
    ::testing::Values(LaunchFailure{"an unsupported scheme", "", "https://example.invalid/app.json", "only file://"},
                      LaunchFailure{"a remote host", "", "file://elsewhere/app.json", "only local files"},
                      LaunchFailure{"a missing file", "", "file:///nonexistent/halvora/app.json",
                                    "cannot read the manifest"},
                      LaunchFailure{"a folder", "", "file:///", "not a regular file"},
                      LaunchFailure{"malformed JSON", "{\"name\": ", "", "not valid JSON"},
                      LaunchFailure{"no command", R"({"name": "x"})", "", "\"command\""},
                      LaunchFailure{"a command that is not all strings",
                                    R"({"name": "x", "command": ["/bin/true", 1]})", "", "\"command\""},
                      LaunchFailure{"no name", R"({"command": ["/bin/true"]})", "", "\"name\""},
                      LaunchFailure{"a program that does not exist",
                                    R"({"name": "x", "command": ["/nonexistent/program"]})", "", "cannot start"}),
    [](const ::testing::TestParamInfo<LaunchFailure>& info) {
        std::string name = info.param.what;
        for (char& c : name)
            if (!std::isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST_F(AManifestLaunch, IsRefusedForAnUnknownHandle)
{
    const Outcome reply =
        callAdapter(d_halvora_desktop_launch_manifest,
                    RequestBuilder().add("handle", std::uint64_t{999999}).add("manifest_url", "file:///x").bytes());
    EXPECT_TRUE(reply.isError());
}

} // namespace
