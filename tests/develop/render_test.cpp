// Rendering to JPEG files: the ".part" route, the delivery descriptor, cache
// keys and concurrent renders.

#include <atomic>
#include <cstdlib>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "develop/sample_raw.h"
#include "engine/develop/delivery_output.h"
#include "engine/develop/render.h"
#include "jpegprofile/jpegprofile.h"
#include "support/support.h"

using namespace Develop;
namespace fs = std::filesystem;

namespace {

const char* sampleJPEG = "jpeg_camera/ianare_DSCN0010.jpg";

Look lookOf(const char* json) { return *decodeLook(nlohmann::json::parse(json)); }

std::optional<Rendered> render(const fs::path& source, const Look& look, const fs::path& dest, int longEdge = 100,
                               bool interactive = false, std::optional<int> fd = std::nullopt) {
    return renderToJPEG(RenderRequest{.source = source,
                                      .look = look,
                                      .dest = dest,
                                      .longEdge = longEdge,
                                      .quality = 0.85,
                                      .interactive = interactive,
                                      .deliveryOutputFD = fd});
}

// Opens a path at a descriptor number above 10, clear of 3.
int openHigh(const fs::path& path, int flags) {
    const int low = ::open(path.c_str(), flags | O_CLOEXEC);
    if (low < 0) return low;
    const int high = ::fcntl(low, F_DUPFD_CLOEXEC, 10);
    ::close(low);
    return high;
}

// Puts `directory` (any descriptor) at number 3 for the life of the object.
class DescriptorThree {
public:
    explicit DescriptorThree(int descriptor) {
        saved_ = ::fcntl(3, F_DUPFD_CLOEXEC, 10);
        ::dup2(descriptor, 3);
    }
    ~DescriptorThree() {
        if (saved_ >= 0) ::dup2(saved_, 3), ::close(saved_);
        else ::close(3);
    }

private:
    int saved_ = -1;
};

}  // namespace

TEST(SkinKey, FollowsTheFileTheLongEdgeAndTheRetouchValues) {
    TestSupport::TempDir dir;
    const auto photo = dir / "a.dng";
    TestSupport::writeFile(photo, "photo");
    const Look base = lookOf(R"({"exposure": 1, "skinBlemishes": 30, "skinFaces": [{"at": [0.5, 0.4], "eyeWhites": 20}]})");
    const std::string key = skinKey(photo, base, 2048, false);
    struct Case {
        const char* look;
        bool same;
    };
    const Case cases[] = {
        {R"({"exposure": 1.0, "skinBlemishes": 30, "skinFaces": [{"at": [0.5, 0.4], "eyeWhites": 20}]})", true},
        {R"({"exposure": 1, "skinBlemishes": 30, "skinSmooth": 80, "grainAmount": 40, "crop": {"left": 0.1, "top": 0, "right": 1, "bottom": 1},
             "sharpenAmount": 50, "skinFaces": [{"at": [0.5, 0.4], "eyeWhites": 90, "teethWhiten": 10}]})", true},
        {R"({"exposure": 1, "skinBlemishes": 30, "grayscale": 1, "vibrance": 40, "skinFaces": [{"at": [0.5, 0.4]}]})", true},
        {R"({"exposure": 2, "skinBlemishes": 30, "skinFaces": [{"at": [0.5, 0.4], "eyeWhites": 20}]})", false},
        {R"({"exposure": 1, "skinBlemishes": 31, "skinFaces": [{"at": [0.5, 0.4], "eyeWhites": 20}]})", false},
        {R"({"exposure": 1, "skinBlemishes": 30, "skinFaces": [{"at": [0.5, 0.4], "skinSmooth": 5}]})", false},
    };
    for (const auto& c : cases) EXPECT_EQ(skinKey(photo, lookOf(c.look), 2048, false) == key, c.same) << c.look;
    EXPECT_NE(skinKey(photo, base, 1024, false), key);
    EXPECT_EQ(skinKey(photo, lookOf(R"({"exposure": 1, "skinBlemishes": 99})"), 2048, true),
              skinKey(photo, lookOf(R"({"exposure": 1})"), 2048, true))
        << "the blemish key leaves the blemish amount out";
    EXPECT_EQ(key.find(photo.string() + "|"), 0u);

    // The file's modification time is part of the key.
    struct timespec times[2] = {{1700000000, 250000000}, {1700000000, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, photo.c_str(), times, 0), 0);
    const std::string before = skinKey(photo, base, 2048, false);
    EXPECT_NE(before.find("|1700000000.25|5||2048|"), std::string::npos) << before;
    times[0].tv_sec = times[1].tv_sec = 1700000100;
    ASSERT_EQ(::utimensat(AT_FDCWD, photo.c_str(), times, 0), 0);
    EXPECT_NE(skinKey(photo, base, 2048, false), before);
}

TEST(BaseKey, LeavesOutOnlyTheSlidersOfLaterStagesAndTheCrop) {
    TestSupport::TempDir dir;
    const auto photo = dir / "a.dng";
    TestSupport::writeFile(photo, "photo");
    const ApplyOptions options;
    const char* base = R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 30, "contrast": 10})";
    const std::string key = baseKey(photo, lookOf(base), 2048, false, options);
    struct Case {
        const char* look;
        bool same;
    };
    const Case cases[] = {
        {R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 30, "contrast": 60, "shadows": 5, "whites": 1,
             "blacks": 2, "dehaze": 10, "texture": 5, "clarity": 9, "curveDarks": 4, "curve": {"master": [[0, 0.1], [1, 1]]},
             "colorMix": {"red": {"hue": 10}}, "saturation": 5, "vibrance": 7, "grayscale": 1, "grayMix": {"red": 10},
             "sharpenAmount": 40, "grainAmount": 20, "crop": {"left": 0.1, "top": 0, "right": 1, "bottom": 1}})", true},
        {R"({"exposure": 0.6, "highlights": -20, "noiseLuminance": 30, "contrast": 10})", false},
        {R"({"exposure": 0.5, "highlights": -30, "noiseLuminance": 30, "contrast": 10})", false},
        {R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 31, "contrast": 10})", false},
        {R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 30, "noiseColor": 5, "contrast": 10})", false},
        {R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 30, "temperature": 5, "contrast": 10})", false},
        {R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 30, "profile": "Adobe Standard"})", false},
        {R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 30, "skinSmooth": 20})", false},
        // The colour-range retouch comes after noise reduction too.
        {R"({"exposure": 0.5, "highlights": -20, "noiseLuminance": 30, "skinRangeSmooth": 50, "skinSpots": 20,
             "skinSpotAdd": [[0.5, 0.5, 0.01]], "skinRangeTone": 5, "skinRangeUnderEye": 5, "eyeWhites": 30,
             "teethWhiten": 10, "skinTexture": 60})", true},
    };
    for (const auto& c : cases) EXPECT_EQ(baseKey(photo, lookOf(c.look), 2048, false, options) == key, c.same) << c.look;
    EXPECT_NE(baseKey(photo, lookOf(base), 1024, false, options), key);
    EXPECT_NE(baseKey(photo, lookOf(base), 2048, true, options), key);
    ApplyOptions raw = options;
    raw.extended = true;
    EXPECT_NE(baseKey(photo, lookOf(base), 2048, false, raw), key);
    struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, photo.c_str(), times, 0), 0);
    EXPECT_NE(baseKey(photo, lookOf(base), 2048, false, options), key);
}

TEST(BaseKey, InteractiveRendersFromTheKeptPictureMatchFreshOnes) {
    const auto dng = DevelopTests::sampleDNG("jpeg_camera/ianare_DSCN0010.jpg");
    if (!dng) GTEST_SKIP() << "shared fixtures or make-dng not available";
    TestSupport::TempDir dir;
    const auto bytesOf = [&](const char* json) {
        const auto out = dir / "out.jpg";
        EXPECT_TRUE(render(*dng, lookOf(json), out, 300, true));
        return TestSupport::readFile(out);
    };
    const char* first = R"({"exposure": 0.3, "noiseLuminance": 40, "contrast": 10, "sharpenAmount": 40})";
    const char* later = R"({"exposure": 0.3, "noiseLuminance": 40, "contrast": 60, "sharpenAmount": 40})";
    const char* brighter = R"({"exposure": 0.9, "noiseLuminance": 40, "contrast": 60, "sharpenAmount": 40})";
    bytesOf(first);
    const auto fromKept = bytesOf(later);  // starts from the picture `first` left
    const auto other = bytesOf(brighter);  // an earlier value moved: developed afresh
    EXPECT_NE(other, fromKept);
    EXPECT_EQ(bytesOf(brighter), other);   // now from its own kept picture
    EXPECT_EQ(bytesOf(later), fromKept);   // afresh again, the same as from the kept picture
}

TEST(DeliveryOutput, WritesOnlyIntoDescriptorThree) {
    TestSupport::TempDir dir;
    fs::create_directory(dir / "work");
    TestSupport::writeFile(dir / "file", "x");
    const std::vector<std::uint8_t> data(100000, 0x5a);
    const int work = openHigh(dir / "work", O_RDONLY | O_DIRECTORY);
    const int file = openHigh(dir / "file", O_RDONLY);
    ASSERT_GE(work, 0);
    ASSERT_GE(file, 0);

    // A directory at another number, or a regular file at 3: nothing is written.
    EXPECT_THROW(DeliveryOutput::write(data, work), DeliveryOutput::Failure);
    {
        DescriptorThree three(file);
        try {
            DeliveryOutput::write(data, 3);
            ADD_FAILURE() << "a file at descriptor 3 was accepted";
        } catch (const DeliveryOutput::Failure& failure) {
            EXPECT_STREQ(failure.what(), "Invalid delivery working-directory descriptor");
        }
    }
    EXPECT_FALSE(fs::exists(dir / "work" / "render.jpg"));
    {
        DescriptorThree three(work);
        DeliveryOutput::write(data, 3);
        struct stat info {};
        ASSERT_EQ(::stat((dir / "work" / "render.jpg").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, 0600u);
        EXPECT_EQ(info.st_size, 100000);
        // Never replaced.
        EXPECT_THROW(DeliveryOutput::write({1, 2, 3}, 3), std::system_error);
        EXPECT_EQ(fs::file_size(dir / "work" / "render.jpg"), 100000u);
        // Nor written through a symbolic link.
        fs::remove(dir / "work" / "render.jpg");
        fs::create_symlink(dir / "file", dir / "work" / "render.jpg");
        EXPECT_THROW(DeliveryOutput::write({1, 2, 3}, 3), std::system_error);
        EXPECT_EQ(TestSupport::readFile(dir / "file"), "x");
    }
    ::close(work);
    ::close(file);
}

TEST(RenderToJPEG, WritesThroughAPartFileAndReports) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);  // 160 × 120
    TestSupport::TempDir dir;
    struct Case {
        const char* name;
        const char* look;
        int longEdge;
        int width, height;
    };
    const Case cases[] = {
        {"neutral", "{}", 100, 100, 75},
        {"full size", R"({"exposure": 0.5, "highlights": -40})", 0, 160, 120},
        {"cropped", R"({"crop": {"left": 0.1, "top": 0.2, "right": 0.6, "bottom": 0.9}})", 0, 80, 84},
        {"straightened", R"({"crop": {"left": 0, "top": 0, "right": 0.5, "bottom": 1, "angle": 5}})", 0, 80, 120},
        {"crop below a pixel", R"({"crop": {"left": 0.5, "top": 0, "right": 0.5005, "bottom": 1}})", 0, 160, 120},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dest = dir / "new" / "folder" / (std::string(c.name) + ".jpg");
        const auto rendered = render(*dng, lookOf(c.look), dest, c.longEdge);
        ASSERT_TRUE(rendered);
        EXPECT_EQ(rendered->width, c.width);
        EXPECT_EQ(rendered->height, c.height);
        EXPECT_EQ(rendered->bytes, static_cast<long long>(fs::file_size(dest)));
        EXPECT_FALSE(fs::exists(dest.string() + ".part"));
        ASSERT_TRUE(rendered->cameraTemperature);
        EXPECT_NEAR(*rendered->cameraTemperature, 6500, 100);
        EXPECT_FALSE(rendered->blemishSpots);
        const std::string bytes = TestSupport::readFile(dest);
        EXPECT_EQ(bytes.substr(0, 2), "\xff\xd8");
        EXPECT_EQ(bytes.find("Exif"), std::string::npos) << "no metadata is written";
    }
    // An existing file is replaced.
    const fs::path dest = dir / "again.jpg";
    TestSupport::writeFile(dest, "old");
    ASSERT_TRUE(render(*dng, Look::neutral(), dest));
    EXPECT_NE(TestSupport::readFile(dest), "old");
}

TEST(RenderToJPEG, FailuresEndInNothingAndLeaveNoPartFile) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "blocker", "a file where a folder should be");
    fs::create_directory(dir / "folder.jpg");
    TestSupport::writeFile(dir / "folder.jpg" / "inside", "kept");
    TestSupport::writeFile(dir / "broken.dng", std::string(3000, '\x17'));
    EXPECT_FALSE(render(dir / "missing.dng", Look::neutral(), dir / "a.jpg"));
    EXPECT_FALSE(render(dir / "broken.dng", Look::neutral(), dir / "b.jpg"));
    EXPECT_FALSE(render(*dng, Look::neutral(), dir / "blocker" / "c.jpg"));
    EXPECT_FALSE(render(*dng, Look::neutral(), dir / "folder.jpg"));
    EXPECT_EQ(TestSupport::readFile(dir / "folder.jpg" / "inside"), "kept") << "a failed move destroys nothing";
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();
    // A source that is not a JPEG cannot lend its profile: that is an error, not nothing.
    EXPECT_THROW(renderToJPEG(RenderRequest{.source = *dng,
                                            .look = Look::neutral(),
                                            .dest = dir / "d.jpg",
                                            .longEdge = 100,
                                            .quality = 0.85,
                                            .preserveJPEGProfile = true}),
                 std::exception);
}

TEST(RenderToJPEG, DeliveryDescriptor) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);
    TestSupport::TempDir dir;
    fs::create_directory(dir / "work");
    const int work = openHigh(dir / "work", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(work, 0);
    const fs::path unused = dir / "unused.jpg";
    EXPECT_FALSE(render(*dng, Look::neutral(), unused, 100, false, 4));
    {
        DescriptorThree three(work);
        const auto rendered = render(*dng, Look::neutral(), unused, 100, false, 3);
        ASSERT_TRUE(rendered);
        EXPECT_EQ(rendered->bytes, static_cast<long long>(fs::file_size(dir / "work" / "render.jpg")));
        // A second render finds render.jpg there and writes nothing.
        EXPECT_FALSE(render(*dng, lookOf(R"({"exposure": 1})"), unused, 100, false, 3));
        EXPECT_EQ(rendered->bytes, static_cast<long long>(fs::file_size(dir / "work" / "render.jpg")));
    }
    EXPECT_FALSE(fs::exists(unused));
    ::close(work);
}

TEST(RenderToJPEG, RenderedFilesReportNoCameraBalance) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const auto rendered = render(TestSupport::fixture(sampleJPEG), lookOf(R"({"temperature": 500})"), dir / "j.jpg", 320);
    ASSERT_TRUE(rendered);
    EXPECT_EQ(rendered->width, 320);
    EXPECT_EQ(rendered->height, 240);
    EXPECT_FALSE(rendered->cameraTemperature);
    EXPECT_FALSE(rendered->cameraTint);
}

TEST(RenderToJPEG, ConcurrentRendersOfSameAndDifferentPhotos) {
    REQUIRE_SAMPLE_DNG(first, sampleJPEG, 0.25);
    const auto second = DevelopTests::sampleDNG(sampleJPEG, 0.2, 6);
    ASSERT_TRUE(second);
    TestSupport::TempDir dir;
    for (const bool experimental : {false, true}) {
        if (experimental) ::setenv("MERROW_EXPERIMENTAL_SKIN", "1", 1);
        std::atomic<int> rendered{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < 6; ++i)
            threads.emplace_back([&, i] {
                for (int round = 0; round < 2; ++round) {
                    const auto& source = i % 2 ? *first : *second;
                    const Look look = lookOf(i % 3 ? R"({"exposure": 0.3, "temperature": 200})" : R"({"tint": 5})");
                    const auto dest = dir / ("r" + std::to_string(i) + "-" + std::to_string(round) + ".jpg");
                    const bool interactive = (i + round) % 2;
                    if (renderToJPEG(RenderRequest{.source = source,
                                                   .look = look,
                                                   .dest = dest,
                                                   .longEdge = 90,
                                                   .quality = 0.8,
                                                   .interactive = interactive,
                                                   .live = i == 4}))
                        ++rendered;
                }
            });
        for (auto& t : threads) t.join();
        EXPECT_EQ(rendered.load(), 12);
    }
    ::unsetenv("MERROW_EXPERIMENTAL_SKIN");
}
