#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <thread>

#include "engine/library/analysis.h"
#include "engine/library/extraction.h"
#include "library_support.h"

using namespace TestSupport;
using LibraryTest::makeDNG;
using LibraryTest::meanDifference;

namespace {

struct PreviewCase {
    const char* file;
    int maxPixel;
    bool rendered;
    bool transform;
    int width;
    int height;
};

std::ostream& operator<<(std::ostream& os, const PreviewCase& c) {
    return os << c.file << " at " << c.maxPixel << (c.rendered ? " rendered" : " embedded")
              << (c.transform ? "" : " untransformed");
}

class PreviewSize : public ::testing::TestWithParam<PreviewCase> {};

TEST_P(PreviewSize, IsBoundedKeepsAspectAndIsNeverEnlarged) {
    REQUIRE_FIXTURES();
    const PreviewCase& c = GetParam();
    auto source = Extraction::open(fixture(c.file));
    ASSERT_TRUE(source);
    auto image = Extraction::preview(*source, c.maxPixel, c.rendered, c.transform);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, c.width);
    EXPECT_EQ(image->height, c.height);
    EXPECT_EQ(image->channels, 3);
    EXPECT_EQ(image->pixels.size(), std::size_t(c.width) * c.height * 3);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, PreviewSize,
    ::testing::Values(
        // RAW files: the camera's embedded JPEG, scaled down (for the Nikon its
        // 570x375 preview, a few rows short of 3:2).
        PreviewCase{"raw/partial/imagemeta_NikonD7100_truncated.nef", 400, false, true, 400, 263},
        PreviewCase{"raw/partial/imagemeta_SonySLTA55_truncated.arw", 400, false, true, 400, 267},
        PreviewCase{"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2", 400, false, true, 400, 267},
        PreviewCase{"raw/partial/exiv2_Canon-R6-pruned.cr3", 400, false, true, 400, 267},
        // A CR3 cut short inside its picture data still has its preview.
        PreviewCase{"raw/partial/nomexif_CanonR6_truncated.cr3", 400, false, true, 400, 267},
        PreviewCase{"raw/complete/photoprism_canon_eos_6d.dng", 300, false, true, 300, 200},
        // Never enlarged: a 1440x960 preview asked for at 8192.
        PreviewCase{"raw/complete/imagemeta_CanonEOSD30.crw", 8192, false, true, 1440, 960},
        PreviewCase{"raw/partial/imagemeta_SonySLTA55_truncated.arw", 8192, false, true, 1616, 1080},
        // A RAW file is never decoded, even when the caller asks for the primary image.
        PreviewCase{"raw/partial/imagemeta_NikonD7100_truncated.nef", 400, true, true, 400, 263},
        // JPEG: the primary image is decoded and scaled although an EXIF thumbnail exists;
        // without rendered the EXIF thumbnail is the preview.
        PreviewCase{"jpeg_camera/ianare_DSCN0010.jpg", 400, true, true, 400, 300},
        PreviewCase{"jpeg_camera/ianare_Canon_40D.jpg", 400, true, true, 100, 68},
        PreviewCase{"jpeg_camera/ianare_Canon_40D.jpg", 400, false, true, 68, 46},
        // Orientation 6 turns the stored picture a quarter clockwise.
        PreviewCase{"faces/immich_portrait-orientation-6.jpg", 300, true, true, 300, 250},
        PreviewCase{"faces/immich_portrait-orientation-6.jpg", 300, true, false, 250, 300},
        PreviewCase{"orientation/recurser/Portrait_6.jpg", 300, true, false, 300, 200},
        PreviewCase{"orientation/recurser/Portrait_6.jpg", 300, true, true, 200, 300},
        // CMYK JPEG.
        PreviewCase{"jpeg_icc/sharp_CMYK_SWOP_icc18chunks.jpg", 250, true, true, 250, 167},
        // HEIC: libheif turns it upright itself, and leaves it as stored on request.
        PreviewCase{"heic/exifr_heic-single.heic", 400, true, true, 400, 267},
        PreviewCase{"heic/libvips_heic-orientation-6.heic", 400, true, true, 300, 400},
        PreviewCase{"heic/libvips_heic-orientation-6.heic", 400, true, false, 400, 300},
        PreviewCase{"heic/exiv2_Stonehenge.heic", 8192, true, true, 300, 200},
        // HEIC without rendered: its thumbnail item.
        PreviewCase{"heic/exifr_heic-single.heic", 400, false, true, 240, 160},
        PreviewCase{"heic/libvips_heic-orientation-6.heic", 400, false, true, 240, 320},
        // Bitmap thumbnails when nothing else is there: LibRaw's RGB thumbnail of a
        // Kodak KDC, and the TIFF-stored preview of a DNG whose RAW data LibRaw cannot read.
        PreviewCase{"raw/complete/rawpy_RAW_KODAK_DC50.KDC", 400, false, true, 96, 64},
        PreviewCase{"raw/complete/exifpy_nikon_z9_jxl_cropped.dng", 400, false, true, 256, 171}));

// Every EXIF orientation comes out upright: each Landscape_N and Portrait_N equals
// its upright original up to JPEG noise, and keeps its stored shape untransformed.
TEST(PreviewOrientation, AllEightTagsComeOutUpright) {
    REQUIRE_FIXTURES();
    for (std::string shape : {"Landscape", "Portrait"}) {
        auto upright = Extraction::open(fixture("orientation/recurser/" + shape + "_1.jpg"));
        ASSERT_TRUE(upright);
        auto reference = Extraction::preview(*upright, 160, true, true);
        ASSERT_TRUE(reference);
        for (int tag = 1; tag <= 8; ++tag) {
            SCOPED_TRACE(shape + " orientation " + std::to_string(tag));
            auto source = Extraction::open(fixture("orientation/recurser/" + shape + "_" + std::to_string(tag) + ".jpg"));
            ASSERT_TRUE(source);
            EXPECT_EQ(Extraction::metadata(*source).orientation, tag);
            auto image = Extraction::preview(*source, 160, true, true);
            ASSERT_TRUE(image);
            EXPECT_LT(meanDifference(*image, *reference), 6.0);

            auto stored = Extraction::preview(*source, 160, true, false);
            ASSERT_TRUE(stored);
            bool turned = tag >= 5;
            EXPECT_EQ(stored->width, turned ? reference->height : reference->width);
            if (tag != 1) {
                EXPECT_GT(meanDifference(*stored, *reference), 6.0);
            }
        }
    }
}

// A DNG made from a real photo: its embedded preview is used and turned as its
// orientation tag says.
TEST(PreviewRaw, GeneratedDNGUsesItsEmbeddedPreviewAndOrientation) {
    REQUIRE_FIXTURES();
    TempDir dir;
    auto jpeg = fixture("orientation/recurser/Landscape_1.jpg");
    auto dng = makeDNG(jpeg, dir / "landscape-6.dng", {"--scale", "0.25", "--orientation", "6"});
    if (!dng) GTEST_SKIP() << "make-dng is not available";

    auto source = Extraction::open(*dng);
    ASSERT_TRUE(source);
    auto upright = Extraction::preview(*source, 400, false, true);
    auto stored = Extraction::preview(*source, 400, false, false);
    ASSERT_TRUE(upright && stored);
    EXPECT_EQ(upright->width, 267);
    EXPECT_EQ(upright->height, 400);
    EXPECT_EQ(stored->width, 400);
    EXPECT_EQ(stored->height, 267);
    EXPECT_EQ(Extraction::metadata(*source).orientation, 6);

    // The stored preview is the camera's JPEG itself, not a decode of the mosaic.
    auto original = Extraction::open(jpeg);
    ASSERT_TRUE(original);
    auto expected = Extraction::preview(*original, 400, true, true);
    ASSERT_TRUE(expected);
    EXPECT_LT(meanDifference(*stored, *expected), 3.0);
}

// When the largest embedded preview is cut short, the next complete one is used
// rather than a picture whose missing part the decoder filled with grey.
TEST(PreviewRaw, TruncatedLargestPreviewFallsBackToTheNextCompleteOne) {
    REQUIRE_FIXTURES();
    std::string bytes = readFile(fixture("raw/partial/imagemeta_NikonD7100_truncated.nef"));
    const std::size_t largest = 2287892;  // the 6000x4000 JpgFromRaw
    std::size_t start = std::string::npos;
    for (std::size_t at = bytes.find("\xFF\xD8\xFF"); at != std::string::npos; at = bytes.find("\xFF\xD8\xFF", at + 1)) {
        if (at + largest <= bytes.size() && bytes.compare(at + largest - 2, 2, "\xFF\xD9") == 0) start = at;
    }
    ASSERT_NE(start, std::string::npos);
    TempDir dir;
    auto cut = dir / "cut.nef";
    writeFile(cut, bytes.substr(0, start + largest - 6000));

    auto source = Extraction::open(cut);
    ASSERT_TRUE(source);
    auto image = Extraction::preview(*source, 8192, false, true);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 1620);
    EXPECT_EQ(image->height, 1080);
    // Asked for less, the smaller previews that suffice are taken as before.
    for (auto [maxPixel, storedWidth] : {std::pair{1600, 1620}, std::pair{400, 570}}) {
        auto chosen = Extraction::embeddedPreview(*source, maxPixel, true);
        ASSERT_TRUE(chosen);
        EXPECT_EQ(chosen->storedWidth, storedWidth) << maxPixel;
    }
}

// Of a RAW file's complete embedded JPEG previews, the smallest whose long edge
// reaches the requested size is decoded, else the largest. The 4:3 160x120
// thumbnails of the 3:2 Canon and Sony files (black bands above and below) are
// passed over while a preview of the photo's own shape is there.
TEST(PreviewChoice, SmallestEmbeddedPreviewLargeEnoughIsDecoded) {
    REQUIRE_FIXTURES();
    struct {
        const char* file;
        int maxPixel;
        int storedWidth, storedHeight;  // the preview chosen
        int width, height;              // what comes out
    } cases[] = {
        // Nikon D7100: 570x375 preview, 1620x1080 preview, 6000x4000 JpgFromRaw (and a 160x120 RGB thumbnail).
        {"raw/partial/imagemeta_NikonD7100_truncated.nef", 160, 570, 375, 160, 105},
        {"raw/partial/imagemeta_NikonD7100_truncated.nef", 400, 570, 375, 400, 263},
        {"raw/partial/imagemeta_NikonD7100_truncated.nef", 1600, 1620, 1080, 1600, 1067},
        {"raw/partial/imagemeta_NikonD7100_truncated.nef", 8192, 6000, 4000, 6000, 4000},
        // Canon 1Ds Mark III: 160x120 thumbnail, 2784x1856 preview.
        {"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2", 160, 2784, 1856, 160, 107},
        {"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2", 400, 2784, 1856, 400, 267},
        {"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2", 1600, 2784, 1856, 1600, 1067},
        {"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2", 8192, 2784, 1856, 2784, 1856},
        // Sony SLT-A55: 160x120 thumbnail, 1616x1080 preview.
        {"raw/partial/imagemeta_SonySLTA55_truncated.arw", 160, 1616, 1080, 160, 107},
        {"raw/partial/imagemeta_SonySLTA55_truncated.arw", 400, 1616, 1080, 400, 267},
        {"raw/partial/imagemeta_SonySLTA55_truncated.arw", 1600, 1616, 1080, 1600, 1069},
        {"raw/partial/imagemeta_SonySLTA55_truncated.arw", 8192, 1616, 1080, 1616, 1080},
        // Adobe DNG: 256x171 and 1024x683 JPEG strips.
        {"raw/complete/photoprism_canon_eos_6d.dng", 160, 256, 171, 160, 107},
        {"raw/complete/photoprism_canon_eos_6d.dng", 400, 1024, 683, 400, 267},
        {"raw/complete/photoprism_canon_eos_6d.dng", 8192, 1024, 683, 1024, 683},
        // Canon R6 CR3 (previews that only Exiv2's list knows): 160x120 thumbnail, 1620x1080 preview.
        {"raw/partial/exiv2_Canon-R6-pruned.cr3", 160, 1620, 1080, 160, 107},
        {"raw/partial/exiv2_Canon-R6-pruned.cr3", 8192, 1620, 1080, 1620, 1080},
        // One preview only.
        {"raw/complete/imagemeta_CanonEOSD30.crw", 160, 1440, 960, 160, 107},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(c.maxPixel));
        auto source = Extraction::open(fixture(c.file));
        ASSERT_TRUE(source);
        auto chosen = Extraction::embeddedPreview(*source, c.maxPixel, true);
        ASSERT_TRUE(chosen);
        EXPECT_EQ(chosen->storedWidth, c.storedWidth);
        EXPECT_EQ(chosen->storedHeight, c.storedHeight);
        EXPECT_EQ(chosen->image.width, c.width);
        EXPECT_EQ(chosen->image.height, c.height);
        // The preview is that picture.
        auto image = Extraction::preview(*source, c.maxPixel, false, true);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->pixels, chosen->image.pixels);
    }
}

// The feature print and the analysis are made from whichever preview was chosen:
// the Nikon's 570x375 preview at 400 pixels describes the same photo as its
// 1620x1080 one at 1600, far closer than the other cameras' photos.
TEST(PreviewChoice, FeaturePrintAndAnalysisWorkOnTheChosenPreview) {
    REQUIRE_FIXTURES();
    auto print = [](const char* file, int maxPixel) {
        auto source = Extraction::open(fixture(file));
        EXPECT_TRUE(source);
        auto image = source ? Extraction::preview(*source, maxPixel, false, true) : std::nullopt;
        EXPECT_TRUE(image);
        if (!image) return Extraction::FeaturePrintVector{};
        EXPECT_TRUE(Extraction::localAnalysis(*image));
        auto vector = Extraction::featurePrintVector(*image);
        EXPECT_TRUE(vector);
        return vector.value_or(Extraction::FeaturePrintVector{});
    };
    auto distance = [](const Extraction::FeaturePrintVector& a, const Extraction::FeaturePrintVector& b) {
        double sum = 0;
        for (std::size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
        return std::sqrt(sum);
    };
    const char* nikon = "raw/partial/imagemeta_NikonD7100_truncated.nef";
    auto small = print(nikon, 400);
    auto medium = print(nikon, 1600);
    for (const char* other : {"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2",
                              "raw/partial/imagemeta_SonySLTA55_truncated.arw"}) {
        SCOPED_TRACE(other);
        EXPECT_LT(distance(small, medium), distance(small, print(other, 400)) / 4);
    }
}

TEST(PreviewRaw, FileWithoutUsablePreviewGivesNothingButKeepsMetadata) {
    REQUIRE_FIXTURES();
    // The iPhone DNG's preview data was stripped; the GoPro file has none.
    for (const char* file : {"raw/partial/exiv2_IMG_1361.dng", "raw/complete/imagemeta_GoProHero8.gpr"}) {
        SCOPED_TRACE(file);
        auto source = Extraction::open(fixture(file));
        ASSERT_TRUE(source);
        EXPECT_FALSE(Extraction::preview(*source, 400, false, true));
        EXPECT_TRUE(Extraction::metadata(*source).camera);
    }
}

// Bad input never crashes or hangs: each case yields no source or no preview.
TEST(PreviewBadInput, EveryCaseGivesNothing) {
    REQUIRE_FIXTURES();
    TempDir dir;
    writeFile(dir / "text.cr2", "This is not a photo, just some text.\n");
    writeFile(dir / "empty.nef", "");
    std::filesystem::create_directory(dir / "folder.jpg");
    std::string jpeg = readFile(fixture("orientation/recurser/Landscape_1.jpg"));
    writeFile(dir / "cut.jpg", jpeg.substr(0, jpeg.size() / 2));
    std::string garbage = jpeg.substr(0, 2000);
    for (std::size_t i = 600; i < garbage.size(); ++i) garbage[i] = static_cast<char>(i * 7919 % 251);
    writeFile(dir / "garbage.jpg", garbage);
    writeFile(dir / "tiff-header.arw", std::string("II*\0\x08\0\0\0\xFF\xFF", 10));
    writeFile(dir / "unreadable.nef", readFile(fixture("raw/partial/exiv2_Canon-R6-pruned.cr3")));
    ::chmod((dir / "unreadable.nef").c_str(), 0);
    ::mkfifo((dir / "pipe.dng").c_str(), 0644);

    struct Case {
        std::filesystem::path path;
        bool opens;  // some damaged files still open, but give no preview
    };
    std::vector<Case> cases{
        {dir / "text.cr2", false},
        {dir / "empty.nef", false},
        {dir / "folder.jpg", false},
        {dir / "missing.nef", false},
        {dir / "pipe.dng", false},
        {dir / "tiff-header.arw", false},
        {fixture("raw/partial/nomexif_FujiXT1_header.raf"), false},
        {dir / "cut.jpg", true},
        {dir / "garbage.jpg", true},
    };
    if (::geteuid() != 0) cases.push_back({dir / "unreadable.nef", false});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.filename().string());
        auto source = Extraction::open(c.path);
        EXPECT_EQ(bool(source), c.opens);
        if (!source) continue;
        Extraction::metadata(*source);
        EXPECT_FALSE(Extraction::preview(*source, 400, true, true));
        EXPECT_FALSE(Extraction::preview(*source, 400, false, true));
        EXPECT_FALSE(Extraction::decodeRendered(*source));
    }

    // A preview of no pixels is no preview.
    auto source = Extraction::open(fixture("raw/partial/imagemeta_NikonD7100_truncated.nef"));
    ASSERT_TRUE(source);
    EXPECT_FALSE(Extraction::preview(*source, 0, false, true));
    EXPECT_FALSE(Extraction::preview(*source, -5, false, true));
    EXPECT_FALSE(Extraction::preview(Extraction::Source{}, 400, false, true));
}

// Many threads opening and reading the same files agree with one thread.
TEST(PreviewConcurrency, ThreadsGetTheSameAnswers) {
    REQUIRE_FIXTURES();
    const std::vector<std::string> files{"raw/partial/imagemeta_SonySLTA55_truncated.arw",
                                         "raw/complete/photoprism_canon_eos_6d.dng",
                                         "raw/partial/exiv2_Canon-R6-pruned.cr3", "jpeg_camera/ianare_DSCN0010.jpg"};
    auto answer = [](const std::string& file) {
        auto source = Extraction::open(fixture(file));
        if (!source) return std::string("none");
        auto m = Extraction::metadata(*source);
        auto image = Extraction::preview(*source, 200, Extraction::isRendered(file), true);
        std::uint64_t sum = 0;
        if (image)
            for (auto v : image->pixels) sum += v;
        return m.camera.value_or("-") + "/" + std::to_string(sum);
    };
    std::vector<std::string> expected;
    for (auto& f : files) expected.push_back(answer(f));

    std::vector<std::string> got(files.size() * 4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < got.size(); ++i)
        threads.emplace_back([&, i] { got[i] = answer(files[i % files.size()]); });
    for (auto& t : threads) t.join();
    for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], expected[i % files.size()]) << files[i % files.size()];
}

TEST(PreviewRendered, ExtensionDecidesWhatCountsAsRendered) {
    struct {
        const char* name;
        bool rendered;
    } cases[] = {{"a.jpg", true}, {"a.JPEG", true}, {"IMG_1.HeIc", true}, {"a.nef", false},
                 {"a.jpg.part", false}, {"jpg", false}, {"a.heif", false}, {"/x.jpg/a.dng", false}};
    for (auto& c : cases) EXPECT_EQ(Extraction::isRendered(c.name), c.rendered) << c.name;
}

}  // namespace

namespace {

// The bundled samples all open, carry a preview, and come out upright.
TEST(Samples, EveryBundledSampleGivesAnUprightPreview) {
    struct {
        const char* name;
        int width, height;
    } cases[] = {{"canon-eos-d30.crw", 400, 267},
                 {"landscape-generated.dng", 400, 267},
                 {"portrait-orientation-6.jpg", 267, 400},
                 {"curie-portrait.jpg", 400, 333},
                 {"heic-single.heic", 400, 267}};
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = TestSupport::sourceDir() / "samples" / c.name;
        auto source = Extraction::open(path);
        ASSERT_TRUE(source);
        auto image = Extraction::preview(*source, 400, Extraction::isRendered(path), true);
        ASSERT_TRUE(image);
        EXPECT_EQ(image->width, c.width);
        EXPECT_EQ(image->height, c.height);
    }
}

}  // namespace
