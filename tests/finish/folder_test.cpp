// Descriptor-relative reads, writes and removals in a delivery folder.
#include "finish/folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "finish_support.h"

namespace {

using namespace FinishTest;
namespace fs = std::filesystem;
using Finish::FinishFolder;

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
        return "";
    } catch (const Finish::FinishFailure& failure) {
        return failure.what();
    }
}

TEST(FinishFolder, NameRules) {
    struct Case {
        std::string name;
        bool valid, temporary, work;
    };
    const std::string uuid = "0F8FAD5B-D9CB-469F-A165-70867728950E";
    const std::vector<Case> cases = {
        {"photo.jpg", true, false, false},
        {"", false, false, false},
        {".", false, false, false},
        {"..", false, false, false},
        {"a/b.jpg", false, false, false},
        {"a\\b.jpg", false, false, false},
        {std::string("a\0b.jpg", 7), false, false, false},
        {".merrow-finish-" + uuid + ".jpg", true, true, false},
        {".merrow-finish-0f8fad5b-d9cb-469f-a165-70867728950e.jpg", true, true, false},
        {".merrow-finish-1234.jpg", true, false, false},
        {".merrow-finish-" + uuid + ".jpeg", true, false, false},
        {".merrow-finish-0F8FAD5B-D9CB-469F-A165-70867728950G.jpg", true, false, false},
        {".merrow-finish-0F8FAD5BD9CB-469F-A165-70867728950E-.jpg", true, false, false},
        {".merrow-finish-work-" + uuid, true, false, true},
        {".merrow-finish-work-" + uuid + "x", true, false, false},
        {".merrow-finish-work-", true, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Finish::validName(c.name), c.valid);
        EXPECT_EQ(Finish::temporaryName(c.name), c.temporary);
        EXPECT_EQ(Finish::validWork(c.name), c.work);
    }
}

TEST(FinishFolder, ReadRefusesAnythingButOneRegularFile) {
    TestSupport::TempDir dir;
    writeBytes(dir / "photo.jpg", bytesOf("picture"));
    writeBytes(dir / "linked.jpg", bytesOf("picture"));
    fs::create_hard_link(dir / "linked.jpg", dir / "second-name.jpg");
    fs::create_symlink("photo.jpg", dir / "link.jpg");
    writeBytes(dir / "empty.jpg", {});
    fs::create_directory(dir / "folder.jpg");
    ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);

    const FinishFolder folder(dir.path().string(), std::nullopt);
    const auto snapshot = folder.read("photo.jpg", std::nullopt).snapshot;
    EXPECT_EQ(snapshot.size, 7);
    EXPECT_EQ(snapshot.hash, Finish::sha256Hex(bytesOf("picture")));
    EXPECT_EQ(snapshot.hash.size(), 64u);

    const std::string refused = "Delivery JPEG must be a regular, unlinked file below 512 MiB";
    struct Case {
        std::string name;
        bool allowEmpty;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {"photo.jpg", false, ""},
        {"linked.jpg", false, refused},
        {"link.jpg", false, "Delivery file is missing or is a link"},
        {"missing.jpg", false, "Delivery file is missing or is a link"},
        {"empty.jpg", false, refused},
        {"empty.jpg", true, ""},
        {"folder.jpg", false, refused},
        {"pipe.jpg", false, refused},
        {"../photo.jpg", false, "Invalid delivery filename"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(failureOf([&] { folder.read(c.name, std::nullopt, c.allowEmpty); }), c.failure);
    }

    // Receipts: identity, hash and size must all match; times do not count.
    auto other = snapshot;
    other.identity.inode += 1;
    EXPECT_EQ(failureOf([&] { folder.read("photo.jpg", other); }), "Delivery JPEG changed");
    fs::last_write_time(dir / "photo.jpg", fs::last_write_time(dir / "photo.jpg") - std::chrono::hours(2));
    EXPECT_EQ(failureOf([&] { folder.read("photo.jpg", snapshot); }), "");

    EXPECT_EQ(failureOf([] { FinishFolder("relative/path", std::nullopt); }), "An absolute delivery folder is required");
    EXPECT_EQ(failureOf([&] { FinishFolder((dir / "link.jpg").string(), std::nullopt); }),
              "Delivery folder is unavailable");
    EXPECT_EQ(failureOf([] { FinishFolder::opened(-1, std::nullopt); }), "Delivery folder is unavailable");
}

TEST(FinishFolder, TemporaryWritesAndRemovalsNeedTheirReceipt) {
    TestSupport::TempDir dir;
    const std::string temporary = temporaryName();
    writeBytes(dir / temporary, bytesOf("render"));
    writeBytes(dir / "photo.jpg", bytesOf("delivered"));
    const FinishFolder folder(dir.path().string(), std::nullopt);
    const auto receipt = folder.read(temporary, std::nullopt).snapshot;
    auto stale = receipt;
    stale.size += 1;

    EXPECT_EQ(failureOf([&] { folder.writeTemporary("photo.jpg", bytesOf("x"), receipt); }),
              "Invalid Finish temporary file");
    EXPECT_EQ(failureOf([&] { folder.writeTemporary(temporary, bytesOf("x"), stale); }), "Delivery JPEG changed");
    EXPECT_EQ(failureOf([&] { folder.discard("photo.jpg", receipt); }), "Only a Finish temporary file may be removed");
    EXPECT_EQ(failureOf([&] { folder.discard(temporary, stale); }), "Delivery JPEG changed");
    EXPECT_EQ(readBytes(dir / temporary), bytesOf("render"));

    folder.writeTemporary(temporary, bytesOf("carried render"), receipt);
    EXPECT_EQ(readBytes(dir / temporary), bytesOf("carried render"));
    const auto rewritten = folder.read(temporary, std::nullopt).snapshot;
    EXPECT_EQ(rewritten.identity, receipt.identity);
    folder.discard(temporary, rewritten);
    EXPECT_FALSE(fs::exists(dir / temporary));
    EXPECT_EQ(readBytes(dir / "photo.jpg"), bytesOf("delivered"));
}

TEST(FinishFolder, WorkingDirectoryIsOnlyRemovedWhenItHoldsPlainFiles) {
    TestSupport::TempDir dir;
    const std::string work = workName();
    fs::create_directory(dir / work);
    writeBytes(dir / work / "render.jpg", bytesOf("render"));
    fs::create_directory(dir / work / "nested");
    const FinishFolder folder(dir.path().string(), std::nullopt);
    {
        const FinishFolder opened = Finish::openWork(folder, work, std::nullopt);
        EXPECT_EQ(failureOf([&] { Finish::cleanWork(folder, opened, work); }),
                  "Unexpected link or directory in Finish working space");
        EXPECT_TRUE(fs::exists(dir / work / "render.jpg"));
    }
    fs::remove(dir / work / "nested");
    EXPECT_EQ(failureOf([&] { Finish::openWork(folder, "work", std::nullopt); }), "Invalid Finish working directory");
    const FinishFolder opened = Finish::openWork(folder, work, std::nullopt);
    EXPECT_EQ(failureOf([&] { Finish::openWork(folder, work, Finish::FileIdentity{1, 1}); }),
              "Delivery folder was replaced");
    Finish::cleanWork(folder, opened, work);
    EXPECT_FALSE(fs::exists(dir / work));
}

}  // namespace
