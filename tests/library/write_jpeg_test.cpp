#include "engine/library/extraction.h"
#include "library_support.h"

using namespace TestSupport;
using LibraryTest::meanDifference;
using LibraryTest::testPattern;

namespace {

namespace fs = std::filesystem;

// The written file decodes back to the same picture (as RGB) and its size is reported.
TEST(WriteJPEG, WritesDecodableFilesForEveryChannelLayout) {
    TempDir dir;
    struct {
        int channels;
        double quality;
        double tolerance;
    } cases[] = {{3, 0.82, 4.0}, {3, 1.0, 2.0}, {3, 0.0, 30.0}, {1, 0.9, 3.0}, {4, 0.9, 3.0}};
    for (auto& c : cases) {
        SCOPED_TRACE("channels " + std::to_string(c.channels) + " quality " + std::to_string(c.quality));
        auto picture = testPattern(120, 80, c.channels);
        auto path = dir / ("out-" + std::to_string(c.channels) + "-" + std::to_string(int(c.quality * 100)) + ".jpg");
        auto bytes = Extraction::writeJPEG(picture, path, c.quality);
        ASSERT_TRUE(bytes);
        EXPECT_EQ(*bytes, static_cast<long long>(fs::file_size(path)));
        EXPECT_FALSE(fs::exists(fs::path(path.string() + ".part")));

        auto source = Extraction::open(path);
        ASSERT_TRUE(source);
        auto back = Extraction::preview(*source, 1000, true, true);
        ASSERT_TRUE(back);
        Imaging::Bitmap expected = testPattern(120, 80, 3);
        if (c.channels == 1) {
            for (int y = 0; y < 80; ++y)
                for (int x = 0; x < 120; ++x) {
                    std::uint8_t* p = expected.row(y) + 3 * x;
                    p[1] = p[2] = p[0];
                }
        }
        EXPECT_LT(meanDifference(*back, expected), c.tolerance);
    }
}

TEST(WriteJPEG, HigherQualityGivesLargerFiles) {
    TempDir dir;
    auto picture = testPattern(200, 150);
    auto low = Extraction::writeJPEG(picture, dir / "low.jpg", 0.1);
    auto high = Extraction::writeJPEG(picture, dir / "high.jpg", 0.95);
    ASSERT_TRUE(low && high);
    EXPECT_LT(*low, *high);
}

TEST(WriteJPEG, ReplacesAnExistingFileAndLeavesNoTemporary) {
    TempDir dir;
    auto path = dir / "a.jpg";
    writeFile(path, "old contents");
    writeFile(dir / "a.jpg.part", "left over from an interrupted write");
    auto bytes = Extraction::writeJPEG(testPattern(64, 48), path, 0.8);
    ASSERT_TRUE(bytes);
    std::string written = readFile(path);
    EXPECT_EQ(static_cast<long long>(written.size()), *bytes);
    EXPECT_EQ(written.substr(0, 3), "\xFF\xD8\xFF");
    EXPECT_FALSE(fs::exists(dir / "a.jpg.part"));
}

TEST(WriteJPEG, FailuresReturnNothingAndLeaveTheOldFile) {
    TempDir dir;
    auto picture = testPattern(32, 32);
    // A folder that does not exist.
    EXPECT_FALSE(Extraction::writeJPEG(picture, dir / "missing" / "a.jpg", 0.8));
    EXPECT_FALSE(fs::exists(dir / "missing"));
    // No pixels.
    EXPECT_FALSE(Extraction::writeJPEG(Imaging::Bitmap{}, dir / "empty.jpg", 0.8));
    EXPECT_FALSE(fs::exists(dir / "empty.jpg"));
    // A folder full of files sits at the final name: it stays, and the temporary goes.
    fs::create_directories(dir / "taken.jpg");
    writeFile(dir / "taken.jpg" / "keep.txt", "keep");
    EXPECT_FALSE(Extraction::writeJPEG(picture, dir / "taken.jpg", 0.8));
    EXPECT_EQ(readFile(dir / "taken.jpg" / "keep.txt"), "keep");
    EXPECT_FALSE(fs::exists(dir / "taken.jpg.part"));
    // The temporary name is a symbolic link: it is not followed.
    writeFile(dir / "target.txt", "target");
    fs::create_symlink(dir / "target.txt", dir / "linked.jpg.part");
    EXPECT_FALSE(Extraction::writeJPEG(picture, dir / "linked.jpg", 0.8));
    EXPECT_EQ(readFile(dir / "target.txt"), "target");
}

TEST(WriteJPEG, PreviewRoundTripKeepsSize) {
    REQUIRE_FIXTURES();
    TempDir dir;
    auto source = Extraction::open(fixture("raw/partial/imagemeta_NikonD7100_truncated.nef"));
    ASSERT_TRUE(source);
    auto image = Extraction::preview(*source, 400, false, true);
    ASSERT_TRUE(image);
    auto out = dir / "thumbs" / "a.jpg";
    fs::create_directories(out.parent_path());
    ASSERT_TRUE(Extraction::writeJPEG(*image, out, 0.82));
    auto back = Extraction::open(out);
    ASSERT_TRUE(back);
    auto m = Extraction::metadata(*back);
    EXPECT_EQ(m.rawW, 400);
    EXPECT_EQ(m.rawH, 263);  // from the camera's 570x375 preview
    EXPECT_FALSE(m.camera);  // no metadata is carried
}

}  // namespace
