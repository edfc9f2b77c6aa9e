// A whole save as the Studio drives it, with the render made by the engine
// itself: lock, inspect, work-create, a gelatin render into the working
// directory handed over as descriptor 3, work-inspect, publish, metadata and
// swap, each step its own process and more than a second apart.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include "finish_support.h"
#include "jpegprofile/jpegprofile.h"

namespace {

using namespace FinishTest;
namespace fs = std::filesystem;

// Runs `gelatin serve` with the directory as descriptor 3, one request line
// on its standard input; returns its standard output.
std::string renderInto(const fs::path& work, const json& request) {
    TestSupport::TempDir scratch;
    writeBytes(scratch / "in", bytesOf(request.dump() + "\n"));
    const int directory = ::open(work.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open((scratch / "in").c_str(), O_RDONLY);
        const int out = ::open((scratch / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 || ::dup2(directory, 3) < 0) ::_exit(127);
        const std::string program = TestSupport::gelatin().string();
        ::execl(program.c_str(), program.c_str(), "serve", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(directory);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
    return textOf(readBytes(scratch / "out"));
}

void pause() { std::this_thread::sleep_for(std::chrono::milliseconds(1100)); }

TEST(DeliveryRender, SaveOfAProfileLessJPEGCompletesAtTheStudiosPace) {
    TestSupport::TempDir dir;
    const std::string name = "photo.jpg", lockName = ".photo.jpg.lock";
    PictureMetadata metadata;
    metadata.artist = "Ana Example";
    metadata.keywords = {"harbour"};
    const Bytes delivered = makeJPEG(48, 32, 3, metadata);  // no ICC profile: sRGB
    writeBytes(dir / name, delivered);

    Lacquer lock(request("lock", dir.path(), lockName));
    ASSERT_EQ(lock.reply(), json({{"ok", true}, {"ready", true}}));
    pause();

    const Reply inspected = runLacquer(request("inspect", dir.path(), name));
    ASSERT_EQ(inspected.status, 0) << inspected.out;
    const json folderIdentity = inspected.last()["folderIdentity"], source = inspected.last()["snapshot"];
    pause();

    const std::string work = workName();
    const Reply created = runLacquer(
        request("work-create", dir.path(), "render.jpg", {{"folderIdentity", folderIdentity}, {"work", work}}));
    ASSERT_EQ(created.status, 0) << created.out;
    const json workIdentity = created.last()["identity"];
    pause();

    const json render = {{"id", 1},        {"src", (dir / name).string()}, {"out", (dir / work / "render.jpg").string()},
                         {"develop", true}, {"look", json::object()},     {"max", 0},
                         {"quality", 0.9},  {"preserveJPEGProfile", true}, {"deliveryOutputFD", 3}};
    const std::string rendered = renderInto(dir / work, render);
    ASSERT_FALSE(rendered.empty());
    ASSERT_EQ(json::parse(rendered)["ok"], true) << rendered;
    pause();

    const Reply workInspected = runLacquer(request("work-inspect", dir.path(), "render.jpg",
                                                   {{"folderIdentity", folderIdentity}, {"work", work}, {"workIdentity", workIdentity}}));
    ASSERT_EQ(workInspected.status, 0) << workInspected.out;
    const json renderSnapshot = workInspected.last()["snapshot"];
    pause();

    const std::string temporary = temporaryName();
    const Reply published = runLacquer(request("publish", dir.path(), "render.jpg",
                                               {{"folderIdentity", folderIdentity}, {"work", work}, {"workIdentity", workIdentity},
                                                {"temporary", temporary}, {"output", renderSnapshot}}));
    ASSERT_EQ(published.status, 0) << published.out;
    pause();

    const Reply carried = runLacquer(request("metadata", dir.path(), name,
                                             {{"folderIdentity", folderIdentity}, {"temporary", temporary}, {"source", source},
                                              {"output", renderSnapshot}}));
    ASSERT_EQ(carried.status, 0) << carried.out;
    ASSERT_EQ(carried.last()["ok"], true) << carried.out;
    const json finalSnapshot = carried.last()["snapshot"];
    pause();

    const Reply swapped = runLacquer(request("swap", dir.path(), name,
                                             {{"folderIdentity", folderIdentity}, {"temporary", temporary}, {"source", source},
                                              {"output", finalSnapshot}}),
                                     {"commit", "cleanup"});
    ASSERT_EQ(swapped.status, 0) << swapped.out;
    EXPECT_EQ(swapped.last(), json({{"ok", true}, {"snapshot", finalSnapshot}, {"status", "committed"}}));

    const Reply cleaned = runLacquer(request("work-clean", dir.path(), "render.jpg",
                                             {{"folderIdentity", folderIdentity}, {"work", work}, {"workIdentity", workIdentity}}));
    EXPECT_EQ(cleaned.status, 0) << cleaned.out;
    lock.send("done");
    EXPECT_EQ(lock.wait(), 0);

    // The new delivery inspects like the old one, and the save is complete.
    EXPECT_EQ(runLacquer(request("inspect", dir.path(), name)).last()["jpeg"], inspected.last()["jpeg"]);
    EXPECT_NE(readBytes(dir / name), delivered);
}

// Two engine processes, started at different times, embed the same sRGB profile.
TEST(DeliveryRender, EngineProcessesEmbedIdenticalSRGBProfiles) {
    TestSupport::TempDir dir;
    writeBytes(dir / "photo.jpg", makeJPEG(32, 24, 5));
    std::vector<Bytes> profiles;
    for (int run = 0; run < 2; ++run) {
        if (run) pause();
        const fs::path out = dir / ("render" + std::to_string(run) + ".jpg");
        const json request = {{"id", 1}, {"src", (dir / "photo.jpg").string()}, {"out", out.string()},
                              {"develop", true}, {"look", json::object()}, {"max", 0}};
        const auto result = TestSupport::run(TestSupport::gelatin(), {"serve"}, request.dump() + "\n");
        ASSERT_EQ(result.status, 0) << result.err;
        ASSERT_EQ(json::parse(result.out)["ok"], true) << result.out;
        const Bytes jpeg = readBytes(out);
        const std::string marker = "ICC_PROFILE";
        EXPECT_NE(std::search(jpeg.begin(), jpeg.end(), marker.begin(), marker.end()), jpeg.end());
        profiles.push_back(JPEGColourProfile::source(jpeg).icc);
    }
    EXPECT_EQ(profiles[0], profiles[1]);
    EXPECT_EQ(profiles[0], JPEGColourProfile::sRGBProfile());
}

}  // namespace
