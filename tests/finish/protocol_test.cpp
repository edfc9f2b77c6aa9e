// The lacquer process frame: request decoding, the order of checks, reply
// shape and exit statuses.
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>

#include "finish_support.h"

extern char** environ;

namespace {

using namespace FinishTest;
namespace fs = std::filesystem;

json identityOf(const fs::path& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return {{"device", std::uint64_t(st.st_dev)}, {"inode", std::uint64_t(st.st_ino)}};
}

TEST(FinishProtocol, RequestsAreCheckedInOrder) {
    TestSupport::TempDir dir;
    const Bytes jpeg = makeJPEG(16, 16, 3);
    writeBytes(dir / "photo.jpg", jpeg);
    writeBytes(dir / "picture.png", jpeg);
    const std::string temporary = temporaryName();
    writeBytes(dir / temporary, jpeg);
    fs::create_directory(dir / "sub.lock");
    const json folderIdentity = identityOf(dir.path());
    const json inspected = runLacquer(request("inspect", dir.path(), "photo.jpg")).last();
    ASSERT_EQ(inspected["ok"], true);
    const json receipt = inspected["snapshot"];
    json wrongReceipt = receipt;
    wrongReceipt["hash"] = std::string(64, '0');
    const json temporaryReceipt =
        runLacquer(request("snapshot", dir.path(), temporary, {{"folderIdentity", folderIdentity}})).last()["snapshot"];
    const json receipts = {{"folderIdentity", folderIdentity}, {"temporary", temporary}, {"source", receipt},
                           {"output", temporaryReceipt}};
    writeBytes(dir / "fake.jpg", bytesOf("\x89PNG\r\n\x1a\n0000IHDR"));

    struct Case {
        const char* what;
        std::string input;  // the whole standard input
        std::string reply;  // expected reply line (without line feed)
        int status;
    };
    const auto line = [](const json& r) { return r.dump() + "\n"; };
    const auto error = [](const std::string& m) { return errorReply(m).dump(); };
    const std::vector<Case> cases = {
        {"empty input", "", error("Missing delivery request"), 1},
        {"not UTF-8", "{\"command\":\"inspect\xff\"}\n", error("Missing delivery request"), 1},
        {"name missing", "{\"command\":\"lightroom-status\",\"folder\":\"/\"}\n",
         error("The delivery request is missing \"name\""), 1},
        {"not JSON", "hello\n", error("The delivery request is not valid JSON"), 1},
        {"bytes after a NUL", request("inspect", dir.path(), "photo.jpg").dump() + std::string("\0junk\n", 6), error("The delivery request is not valid JSON"), 1},
        {"identity of the wrong type", line(request("inspect", dir.path(), "photo.jpg", {{"folderIdentity", {{"device", -1}, {"inode", 1}}}})),
         error("The delivery request's \"folderIdentity.device\" must be an unsigned 64-bit integer"), 1},
        {"relative folder", line(request("inspect", "photos", "photo.jpg")),
         error("An absolute delivery folder is required"), 1},
        {"missing folder", line(request("inspect", dir / "nowhere", "photo.jpg")),
         error("Delivery folder is unavailable"), 1},
        {"folder replaced", line(request("inspect", dir.path(), "photo.jpg", {{"folderIdentity", {{"device", 1}, {"inode", 2}}}})),
         error("Delivery folder was replaced"), 1},
        {"lock name", line(request("lock", dir.path(), "photo.jpg")), error("Invalid delivery lock"), 1},
        {"lock on a directory", line(request("lock", dir.path(), "sub.lock")), error("Cannot open delivery lock"), 1},
        {"png name before receipts", line(request("publish", dir.path(), "picture.png")),
         error("Only registered delivery JPEG names are supported"), 1},
        {"name with a slash", line(request("inspect", dir.path(), "../photo.jpg")),
         error("Only registered delivery JPEG names are supported"), 1},
        {"export-check without lock", line(request("export-check", dir.path(), "photo.jpg", receipts)),
         error("Missing existing delivery receipt"), 1},
        {"snapshot of a delivery", line(request("snapshot", dir.path(), "photo.jpg", receipts)),
         error("Only Finish temporary snapshots are supported"), 1},
        {"work-create without work", line(request("work-create", dir.path(), "render.jpg", receipts)),
         error("Cannot create private Finish working directory"), 1},
        {"work-inspect without receipts", line(request("work-inspect", dir.path(), "render.jpg", receipts)),
         error("Missing Finish working-directory receipt"), 1},
        {"discard of a delivery", line(request("discard", dir.path(), "photo.jpg", receipts)),
         error("Missing temporary-file receipt"), 1},
        {"unknown without receipts", line(request("polish", dir.path(), "photo.jpg")),
         error("Missing registered delivery receipt"), 1},
        {"unknown with changed file", line(request("polish", dir.path(), "photo.jpg", [&] {
             json r = receipts;
             r["source"] = wrongReceipt;
             return r;
         }())),
         error("Delivery JPEG changed"), 1},
        {"unknown with receipts", line(request("polish", dir.path(), "photo.jpg", receipts)),
         error("Unknown delivery command"), 1},
        {"inspect a PNG named .jpg", line(request("inspect", dir.path(), "fake.jpg")), error("Invalid delivery JPEG"), 1},
        {"inspect a missing file", line(request("inspect", dir.path(), "picture.jpg")),
         error("Delivery file is missing or is a link"), 1},
        {"lightroom", line(request("lightroom-status", "relative", "x")), "{\"ok\":true,\"running\":false}", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = TestSupport::run(TestSupport::lacquer(), {}, c.input);
        EXPECT_EQ(result.out, c.reply + "\n");
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.err, "");
    }
}

TEST(FinishProtocol, RepliesAreSortedWithEscapedSlashes) {
    TestSupport::TempDir dir;
    PictureMetadata metadata;
    metadata.caption = "a/b";
    metadata.keywords = {"x/y"};
    writeBytes(dir / "photo.jpg", makeJPEG(16, 16, 4, metadata));
    const auto result =
        TestSupport::run(TestSupport::lacquer(), {}, request("inspect", dir.path(), "photo.jpg").dump() + "\n");
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find(R"("metadata":{"caption":"a\/b","keywords":"[\"x\\\/y\"]"},"orientation":1,)"),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.rfind("{\"folderIdentity\":{\"device\":", 0), 0u) << result.out;
    EXPECT_EQ(result.out.find('/'), result.out.find("\\/") + 1) << result.out;
}

TEST(FinishProtocol, LockIsExclusiveUntilItsLine) {
    TestSupport::TempDir dir;
    Lacquer first(request("lock", dir.path(), "photo.jpg.lock"));
    ASSERT_EQ(first.reply(), json({{"ok", true}, {"ready", true}}));
    EXPECT_EQ(runLacquer(request("lock", dir.path(), "photo.jpg.lock")).last(),
              errorReply("Delivery is already being saved"));
    first.send("release");
    EXPECT_EQ(first.wait(), 0);
    const Reply again = runLacquer(request("lock", dir.path(), "photo.jpg.lock"));
    EXPECT_EQ(again.last(), json({{"ok", true}, {"ready", true}}));
    EXPECT_EQ(again.status, 0);
    struct stat st {};
    ASSERT_EQ(::stat((dir / "photo.jpg.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// ".lock" is a valid name ending in ".lock", for the lock and for the
// catalogue's export check alike.
TEST(FinishProtocol, LockNamedOnlyDotLock) {
    TestSupport::TempDir dir;
    writeBytes(dir / "photo.jpg", makeJPEG(16, 8, 1));
    Lacquer held(request("lock", dir.path(), ".lock"));
    ASSERT_EQ(held.reply(), json({{"ok", true}, {"ready", true}}));
    const json inspected = runLacquer(request("inspect", dir.path(), "photo.jpg")).last();
    const json check = request("export-check", dir.path(), "photo.jpg",
                               {{"folderIdentity", inspected["folderIdentity"]},
                                {"source", inspected["snapshot"]},
                                {"lockFolder", dir.path().string()},
                                {"lockName", ".lock"}});
    EXPECT_EQ(runLacquer(check).last(), errorReply("Studio is saving this delivery"));
    held.send("done");
    EXPECT_EQ(held.wait(), 0);
    EXPECT_EQ(runLacquer(check).last(), json({{"ok", true}}));
    EXPECT_TRUE(fs::is_regular_file(dir / ".lock"));
}

TEST(FinishProtocol, LightroomRunningIsSeenInTheProcessList) {
    pid_t pid = 0;
    const char* argv[] = {"/bin/sh", "-c", "sleep 20", "com.adobe.LightroomClassicCC7", nullptr};
    ASSERT_EQ(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    const Reply r = runLacquer(request("lightroom-status", "/", "x"));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(r.out, "{\"ok\":true,\"running\":true}\n");
    EXPECT_EQ(r.status, 0);
}

}  // namespace
