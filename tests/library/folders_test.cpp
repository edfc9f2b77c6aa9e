// Folder listings and surveys.
#include <filesystem>

#include "engine/library/extraction.h"
#include "support/support.h"

namespace fs = std::filesystem;
using TestSupport::TempDir;

namespace {

// Creates every file (with its folders) under root; names ending in "/" are folders.
void make(const fs::path& root, const std::vector<std::string>& items) {
    for (const auto& item : items) {
        if (item.ends_with("/")) {
            fs::create_directories(root / item);
        } else {
            fs::create_directories((root / item).parent_path());
            TestSupport::writeFile(root / item, "x");
        }
    }
}

std::vector<std::string> rels(const std::vector<Extraction::Entry>& entries) {
    std::vector<std::string> result;
    for (const auto& e : entries) result.push_back(e.rel);
    return result;
}

// A chain of folders d1/d2/.../dN with one photo at the bottom.
std::string deepPhoto(int levels) {
    std::string path;
    for (int i = 1; i <= levels; ++i) path.append("d").append(std::to_string(i)).append("/");
    return path.append("deep.dng");
}

TEST(ListFolder, OrdersFiltersAndDescends) {
    TempDir dir;
    make(dir.path(), {"IMG_2.CR3", "img_1.jpg", "IMG_10.nef", "IMG_9.nef", "Zeta.HEIC", "notes.txt", "clip.MOV",
                      "noext", ".DS_Store", ".hidden.jpg", ".secret/s.jpg", "Export.photoslibrary/e.jpg",
                      "Cat.lrdata/p.jpg", "shots.dng/inside.dng", "B/b.dng", "B/C/c.ARW", "A/a.raf", "C/"});
    struct Case {
        bool recursive;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {false, {"IMG_10.nef", "IMG_2.CR3", "IMG_9.nef", "Zeta.HEIC", "img_1.jpg"}},
        {true,
         {"IMG_10.nef", "IMG_2.CR3", "IMG_9.nef", "Zeta.HEIC", "img_1.jpg", "A/a.raf", "B/b.dng", "B/C/c.ARW",
          "shots.dng/inside.dng"}},
    };
    for (const auto& c : cases) {
        auto entries = Extraction::listFolder(dir.path(), c.recursive);
        EXPECT_EQ(rels(entries), c.expected) << "recursive " << c.recursive;
        for (const auto& e : entries) {
            EXPECT_TRUE(e.url.is_absolute());
            EXPECT_EQ(e.url, dir.path() / e.rel);
        }
    }
}

TEST(ListFolder, PathsAreAbsoluteAndClean) {
    TempDir dir;
    make(dir.path(), {"a/x.dng"});
    fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    for (const char* path : {"a", "a/", "./a/.", "a/x.dng"}) {
        auto entries = Extraction::listFolder(path, false);
        ASSERT_EQ(entries.size(), 1u) << path;
        EXPECT_EQ(entries[0].url, dir.path() / "a/x.dng") << path;
        EXPECT_EQ(entries[0].rel, "x.dng");
    }
    fs::current_path(previous);
}

TEST(ListFolder, SingleFileMissingPathAndEmptyFolder) {
    TempDir dir;
    make(dir.path(), {"readme.txt", "empty/"});
    auto single = Extraction::listFolder(dir / "readme.txt", true);
    ASSERT_EQ(single.size(), 1u);
    EXPECT_EQ(single[0].rel, "readme.txt");
    EXPECT_TRUE(Extraction::listFolder(dir / "missing", false).empty());
    EXPECT_TRUE(Extraction::listFolder(dir / "empty", true).empty());
}

TEST(ListFolder, StopsBelowTheDepthLimitAndOnSymlinkLoops) {
    TempDir dir;
    make(dir.path(), {deepPhoto(8), deepPhoto(9)});
    auto listed = rels(Extraction::listFolder(dir.path(), true));
    EXPECT_EQ(listed, (std::vector<std::string>{deepPhoto(8)}));

    // A link back to the top is followed until the depth limit stops it.
    TempDir loop;
    make(loop.path(), {"top.dng"});
    fs::create_directory_symlink(loop.path(), loop / "again");
    auto looped = rels(Extraction::listFolder(loop.path(), true));
    ASSERT_EQ(looped.size(), 9u);
    EXPECT_EQ(looped[0], "top.dng");
    EXPECT_EQ(looped[8], "again/again/again/again/again/again/again/again/top.dng");

    auto counted = Extraction::survey(loop.path());
    EXPECT_EQ(counted.photosHere, 1);
    EXPECT_EQ(counted.photosNested, 8);
    EXPECT_TRUE(counted.truncated);
}

TEST(Survey, CountsPhotosAndVideosHereAndBelow) {
    TempDir dir;
    make(dir.path(), {"IMG_2.CR3", "img_1.jpg", "notes.txt", "clip.MOV", ".hidden.mov", "b/x.dng", "b/c/y.mp4",
                      "b/c/z.MTS", "a/only.txt", "Lib.photoslibrary/p.jpg", "Vids/v.mkv", "app.app/", "pkg.bundle"});
    auto survey = Extraction::survey(dir.path());
    EXPECT_EQ(survey.photosHere, 2);
    EXPECT_EQ(survey.videosHere, 1);
    EXPECT_EQ(survey.photosNested, 1);
    EXPECT_EQ(survey.videosNested, 3);
    ASSERT_EQ(survey.folders.size(), 2u);
    EXPECT_EQ(survey.folders[0].name, "Vids");
    EXPECT_EQ(survey.folders[0].photos, 0);
    EXPECT_EQ(survey.folders[0].videos, 1);
    EXPECT_EQ(survey.folders[1].name, "b");
    EXPECT_EQ(survey.folders[1].photos, 1);
    EXPECT_EQ(survey.folders[1].videos, 2);
    EXPECT_FALSE(survey.truncated);
}

TEST(Survey, ReportsTruncationAndZerosForMissingPaths) {
    TempDir dir;
    make(dir.path(), {deepPhoto(8)});
    auto shallow = Extraction::survey(dir.path());
    EXPECT_EQ(shallow.photosNested, 1);
    EXPECT_FALSE(shallow.truncated);

    make(dir.path(), {deepPhoto(9)});
    auto deep = Extraction::survey(dir.path());
    EXPECT_EQ(deep.photosNested, 1) << "the photo at level 9 is not counted";
    EXPECT_TRUE(deep.truncated);

    for (const fs::path& path : {dir / "missing", dir / deepPhoto(8)}) {
        auto none = Extraction::survey(path);
        EXPECT_EQ(none.photosHere + none.videosHere + none.photosNested + none.videosNested, 0);
        EXPECT_TRUE(none.folders.empty());
        EXPECT_FALSE(none.truncated);
    }
}

}  // namespace
