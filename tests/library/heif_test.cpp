// HEIF pictures: orientation from the file's properties or else its EXIF block,
// the EXIF block read through libheif, and previews reduced in YCbCr.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/library/extraction.h"
#include "engine/library/heif_decode.h"
#include "library_support.h"

using namespace TestSupport;
using LibraryTest::meanDifference;

namespace {

Imaging::Bitmap areaReduced(const Imaging::Bitmap& b, int width, int height) {
    cv::Mat in(b.height, b.width, CV_8UC3, const_cast<std::uint8_t*>(b.pixels.data()), b.stride()), out;
    cv::resize(in, out, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    Imaging::Bitmap r(width, height, 3);
    for (int y = 0; y < height; ++y) std::memcpy(r.row(y), out.ptr(y), r.stride());
    return r;
}

TEST(HeifColour, YCbCrToRGBFollowsTheMatrixAndRange) {
    const auto bt601 = *Extraction::ycbcrMatrix(6, true);
    const auto bt709 = *Extraction::ycbcrMatrix(1, true);
    const auto limited = *Extraction::ycbcrMatrix(6, false);
    using RGB = std::array<std::uint8_t, 3>;
    struct {
        int y, cb, cr;
        Extraction::YCbCrMatrix m;
        RGB rgb;
    } cases[] = {
        {128, 128, 128, bt601, {128, 128, 128}},  // grey stays grey
        {255, 128, 128, bt601, {255, 255, 255}},
        {0, 128, 128, bt601, {0, 0, 0}},
        {76, 85, 255, bt601, {254, 0, 0}},       // BT.601 red: Y 0.299, Cb -0.1687, Cr 0.5
        {150, 44, 21, bt601, {0, 255, 1}},       // green
        {54, 99, 255, bt709, {254, 0, 0}},       // BT.709 red: Y 0.2126, Cb -0.1146, Cr 0.5
        {16, 128, 128, limited, {0, 0, 0}},      // studio range
        {235, 128, 128, limited, {255, 255, 255}},
        {0, 0, 0, bt601, {0, 135, 0}},           // out-of-gamut values are clamped
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.y) + "," + std::to_string(c.cb) + "," + std::to_string(c.cr));
        EXPECT_EQ(Extraction::rgbFromYCbCr(c.y, c.cb, c.cr, c.m), c.rgb);
    }
    EXPECT_FALSE(Extraction::ycbcrMatrix(0, true)) << "identity (GBR) is not a YCbCr encoding";
    EXPECT_FALSE(Extraction::ycbcrMatrix(14, true));
}

// A preview made by reducing the YCbCr planes matches libheif's own RGB picture
// reduced the same way, on real phone files.
TEST(HeifPreview, ReducedInYCbCrMatchesLibheifsRGB) {
    REQUIRE_FIXTURES();
    for (const char* file : {"heic/photoprism_iphone_7.heic", "heic/ianare_iphone_13_pro_max.HEIC",
                             "heic/ianare_HMD_Nokia_8.3_5G_hdr.heif", "heic/exifr_heic-single.heic"}) {
        SCOPED_TRACE(file);
        auto source = Extraction::open(fixture(file));
        ASSERT_TRUE(source);
        auto full = Extraction::decodeRendered(*source);
        auto preview = Extraction::preview(*source, 400, true, true);
        ASSERT_TRUE(full && preview);
        EXPECT_EQ(std::max(preview->width, preview->height), 400);
        EXPECT_LT(meanDifference(*preview, areaReduced(*full, preview->width, preview->height)), 1.5);
    }
}

// Upright is the stored picture turned by its orientation: libheif turns a file
// with rotation properties (iPhone XS and later), the EXIF orientation a file
// without them (iPhone 7); never both.
TEST(HeifPreview, UprightFromTheFilesRotationOrElseItsEXIFOrientation) {
    REQUIRE_FIXTURES();
    const struct {
        const char* file;
        bool thumbnail;  // whether the file holds a thumbnail item
    } cases[] = {{"heic/photoprism_iphone_7.heic", false},
                 {"heic/libvips_heic-orientation-6.heic", true},
                 {"heic/ianare_iphone_13_pro_max.HEIC", true}};
    for (const auto& [file, thumbnail] : cases) {
        SCOPED_TRACE(file);
        auto source = Extraction::open(fixture(file));
        ASSERT_TRUE(source);
        EXPECT_EQ(Extraction::metadata(*source).orientation, 6);
        for (bool rendered : {true, false}) {
            if (!rendered && !thumbnail) {
                EXPECT_FALSE(Extraction::preview(*source, 400, false, true));
                continue;
            }
            auto upright = Extraction::preview(*source, 400, rendered, true);
            auto stored = Extraction::preview(*source, 400, rendered, false);
            ASSERT_TRUE(upright && stored);
            EXPECT_LT(upright->width, upright->height);
            EXPECT_GT(stored->width, stored->height);
            EXPECT_LT(meanDifference(*upright, Extraction::applyOrientation(*stored, 6)), 2.0);
        }
        auto full = Extraction::decodeRendered(*source);
        ASSERT_TRUE(full);
        EXPECT_EQ(full->width, 3024);
        EXPECT_EQ(full->height, 4032);
    }
}

// An image sequence has no image items; its first picture is decoded from its track
// (a sunset over a beach: warm, with real detail, not a flat or broken decode).
TEST(HeifSequence, FirstPictureOfTheTrack) {
    REQUIRE_FIXTURES();
    auto source = Extraction::open(fixture("heic/filetype_msf1_sequence.heic"));
    ASSERT_TRUE(source);
    EXPECT_EQ(Extraction::metadata(*source).rawW, 256);
    EXPECT_EQ(Extraction::metadata(*source).rawH, 144);
    auto picture = Extraction::preview(*source, 400, true, true);
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->width, 256);
    ASSERT_EQ(picture->height, 144);
    cv::Mat pixels(picture->height, picture->width, CV_8UC3, picture->pixels.data(), picture->stride());
    cv::Scalar mean, deviation;
    cv::meanStdDev(pixels, mean, deviation);
    EXPECT_GT(mean[0], mean[2] + 20) << "red above blue";
    EXPECT_GT(deviation[1], 25);
    EXPECT_TRUE(Extraction::decodeRendered(*source));
}

}  // namespace
