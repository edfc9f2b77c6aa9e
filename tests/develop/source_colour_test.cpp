// Photos in colour spaces other than sRGB: decoding converts from the file's
// own profile into the linear sRGB working space, renders show the colours the
// file describes, and a render that keeps the source's profile keeps its
// values. Checked on generated pictures (the conversion itself) and on the
// shared JPEG and HEIC fixtures (Display P3, Adobe RGB).

#include <lcms2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <numeric>

#include <gtest/gtest.h>

#include "engine/develop/decode.h"
#include "engine/develop/render.h"
#include "engine/imaging/colour_spaces.h"
#include "engine/library/extraction.h"
#include "jpegprofile/jpegprofile.h"
#include "support/support.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const ColourSpaces::Chromaticities displayP3{{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}, {0.3127, 0.3290}};

Bytes p3Profile() { return ColourSpaces::rgbProfile(displayP3, ColourSpaces::sRGBCurve, "Display P3 (test)"); }

// Every 8-bit value in each channel, and mixtures of them.
Imaging::Bitmap everyValue() {
    Imaging::Bitmap b(256, 8, 3);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 256; ++x) {
            std::uint8_t* p = b.row(y) + 3 * x;
            p[0] = std::uint8_t(x);
            p[1] = std::uint8_t((x * (y + 1) * 37) & 255);
            p[2] = std::uint8_t(255 - ((x * (y + 3)) & 255));
        }
    return b;
}

// Float values of 8-bit pixels through Little CMS's own float transform.
std::vector<float> lcmsFloat(const Imaging::Bitmap& bitmap, void* from, void* to) {
    std::vector<float> values(bitmap.pixels.begin(), bitmap.pixels.end());
    for (float& v : values) v /= 255.0f;
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_FLT, to, TYPE_RGB_FLT, INTENT_RELATIVE_COLORIMETRIC, 0);
    EXPECT_NE(t, nullptr);
    if (t) cmsDoTransform(t, values.data(), values.data(), cmsUInt32Number(values.size() / 3));
    if (t) cmsDeleteTransform(t);
    return values;
}

cmsHPROFILE open(const Bytes& icc) { return cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size())); }

cmsHPROFILE linearSRGB() {
    cmsCIExyY white{0.3127, 0.3290, 1};
    cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1}, {0.30, 0.60, 1}, {0.15, 0.06, 1}};
    cmsToneCurve* straight = cmsBuildGamma(nullptr, 1.0);
    cmsToneCurve* curves[3] = {straight, straight, straight};
    cmsHPROFILE p = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsFreeToneCurve(straight);
    return p;
}

TEST(SourceColour, ConversionIsLittleCMSsAndKeepsColoursOutsideSRGB) {
    const Bytes icc = p3Profile();
    ASSERT_FALSE(icc.empty());
    EXPECT_FALSE(ColourSpaces::isSRGB(icc));
    const Imaging::Bitmap bitmap = everyValue();
    const Imaging::Image linear = ColourSpaces::linearFromBitmap(bitmap, icc);
    cmsHPROFILE from = open(icc), to = linearSRGB();
    const std::vector<float> expected = lcmsFloat(bitmap, from, to);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    float worst = 0, lowest = 0;
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = 0; x < bitmap.width; ++x) {
            const Imaging::Pixel& p = linear.at(x, y);
            const float* e = &expected[3 * (std::size_t(y) * bitmap.width + x)];
            worst = std::max({worst, std::fabs(p.r - e[0]), std::fabs(p.g - e[1]), std::fabs(p.b - e[2])});
            lowest = std::min({lowest, p.r, p.g, p.b});
            EXPECT_EQ(p.a, 1.0f);
        }
    EXPECT_LT(worst, 2e-5f);
    // P3's pure red lies outside sRGB: its green and blue become negative.
    EXPECT_LT(lowest, -0.05f);
}

TEST(SourceColour, SRGBProfilesDecodeExactlyAsSRGB) {
    const Imaging::Bitmap bitmap = everyValue();
    const Imaging::Image plain = Imaging::sRGBToLinear(Imaging::fromBitmap(bitmap));
    const Bytes builtIn = [] {
        cmsHPROFILE p = cmsCreate_sRGBProfile();
        cmsUInt32Number size = 0;
        cmsSaveProfileToMem(p, nullptr, &size);
        Bytes bytes(size);
        cmsSaveProfileToMem(p, bytes.data(), &size);
        cmsCloseProfile(p);
        return bytes;
    }();
    for (const Bytes& icc : {Bytes{}, JPEGColourProfile::sRGBProfile(), builtIn}) {
        EXPECT_TRUE(ColourSpaces::isSRGB(icc));
        const Imaging::Image linear = ColourSpaces::linearFromBitmap(bitmap, icc);
        EXPECT_EQ(cv::norm(linear.mat(), plain.mat(), cv::NORM_INF), 0.0);
    }
    EXPECT_FALSE(ColourSpaces::isSRGB(ColourSpaces::adobeRGBProfile()));
}

TEST(SourceColour, ProfilesFromPrimariesAreTheSameBytesEveryTime) {
    const Bytes a = p3Profile(), b = p3Profile();
    EXPECT_EQ(a, b);
    EXPECT_TRUE(JPEGColourProfile::isRGBProfile(a));
    EXPECT_TRUE(JPEGColourProfile::isRGBProfile(ColourSpaces::adobeRGBProfile()));
}

// ---------------------------------------------------------------- fixtures

struct Lab {
    std::vector<cmsCIELab> values;
    int width = 0, height = 0;
};

// Lab (D50) of 8-bit RGB pixels as `icc` describes them (sRGB when empty).
Lab labOf(const Imaging::Bitmap& bitmap, const Bytes& icc) {
    cmsHPROFILE from = icc.empty() ? open(JPEGColourProfile::sRGBProfile()) : open(icc);
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_FLT, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    Lab out;
    out.width = bitmap.width;
    out.height = bitmap.height;
    out.values.resize(std::size_t(bitmap.width) * bitmap.height);
    std::vector<float> rgb(bitmap.pixels.begin(), bitmap.pixels.end());
    for (float& v : rgb) v /= 255.0f;
    if (t) cmsDoTransform(t, rgb.data(), out.values.data(), cmsUInt32Number(out.values.size()));
    if (t) cmsDeleteTransform(t);
    cmsCloseProfile(lab);
    cmsCloseProfile(from);
    return out;
}

struct Difference {
    double mean = 1e9, p95 = 1e9;
};

Difference deltaE(const Lab& a, const Lab& b) {
    if (a.width != b.width || a.height != b.height || a.values.empty()) return {};
    std::vector<double> d(a.values.size());
    for (std::size_t k = 0; k < d.size(); ++k) d[k] = cmsDeltaE(&a.values[k], &b.values[k]);
    Difference out;
    out.mean = std::accumulate(d.begin(), d.end(), 0.0) / double(d.size());
    std::nth_element(d.begin(), d.begin() + std::ptrdiff_t(d.size() * 95 / 100), d.end());
    out.p95 = d[d.size() * 95 / 100];
    return out;
}

// The 8-bit RGB pixels of a JPEG file and its profile (empty when it has none).
std::pair<Imaging::Bitmap, Bytes> readJPEG(const fs::path& file) {
    const std::string text = TestSupport::readFile(file);
    const Bytes bytes(text.begin(), text.end());
    Bytes icc;
    try {
        icc = JPEGColourProfile::source(bytes).icc;
    } catch (...) {
    }
    Imaging::Bitmap bitmap;
    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = 0, space = 0;
    if (tjDecompressHeader3(d, bytes.data(), bytes.size(), &w, &h, &sub, &space) == 0) {
        bitmap = Imaging::Bitmap(w, h, 3);
        if (tjDecompress2(d, bytes.data(), bytes.size(), bitmap.pixels.data(), w, 0, h, TJPF_RGB, TJFLAG_ACCURATEDCT))
            bitmap = {};
    }
    tjDestroy(d);
    return {bitmap, icc};
}

// The source's own pixels, upright, and the Lab its profile gives them.
Lab sourceLab(const fs::path& file) {
    const auto source = Extraction::open(file);
    if (!source) return {};
    const auto bitmap = Extraction::decodeRendered(*source);
    if (!bitmap) return {};
    return labOf(*bitmap, Extraction::colourProfile(*source));
}

class NonSRGBFixture : public ::testing::TestWithParam<const char*> {};

TEST_P(NonSRGBFixture, NeutralRenderShowsTheColoursTheFileDescribes) {
    REQUIRE_FIXTURES();
    const fs::path file = TestSupport::fixture(GetParam());
    const auto source = Extraction::open(file);
    ASSERT_TRUE(source);
    EXPECT_FALSE(Extraction::colourProfile(*source).empty()) << "the file's colour space is not sRGB";
    TestSupport::TempDir dir;
    const auto rendered = Develop::renderToJPEG(
        Develop::RenderRequest{.source = file, .look = Develop::Look{}, .dest = dir / "out.jpg", .quality = 1.0});
    ASSERT_TRUE(rendered);
    const auto [pixels, icc] = readJPEG(dir / "out.jpg");
    EXPECT_EQ(icc, JPEGColourProfile::sRGBProfile());
    const Difference d = deltaE(labOf(pixels, icc), sourceLab(file));
    EXPECT_LE(d.mean, 1.0);
    EXPECT_LE(d.p95, 3.0);
    std::printf("%s: mean ΔE76 %.3f, p95 %.3f\n", GetParam(), d.mean, d.p95);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NonSRGBFixture,
                         ::testing::Values("jpeg_icc/photoprism_Iceland-P3.jpg", "jpeg_icc/photoprism_ladybug_AdobeRGB.jpg",
                                           "jpeg_icc/exiv2_Reagan_AdobeRGB.jpg", "jpeg_iptc/exifr_BonTonARTSTORplusIPTC_AdobeRGB.jpg",
                                           "heic/ianare_IMG_5195.HEIC",
                                           "heic/immich_IMG_2682.heic", "heic/photoprism_iphone_7.heic"));

// A profile made of tables (no tone curves and matrix) is converted by Little
// CMS's float transform, unbounded: half of this fixture's colours lie
// outside sRGB.
TEST(SourceColour, TableProfilesGoThroughLittleCMS) {
    REQUIRE_FIXTURES();
    const auto [original, icc] = readJPEG(TestSupport::fixture("jpeg_icc/pillow_icc_profile_big_7chunks.jpg"));
    ASSERT_FALSE(icc.empty());
    cmsHPROFILE from = open(icc), to = linearSRGB();
    ASSERT_FALSE(cmsIsMatrixShaper(from) && !cmsIsTag(from, cmsSigAToB0Tag));
    const Imaging::Bitmap bitmap = everyValue();
    const std::vector<float> expected = lcmsFloat(bitmap, from, to);
    cmsCloseProfile(from);
    cmsCloseProfile(to);
    const Imaging::Image linear = ColourSpaces::linearFromBitmap(bitmap, icc);
    float worst = 0;
    for (int y = 0; y < bitmap.height; ++y)
        for (int x = 0; x < bitmap.width; ++x) {
            const Imaging::Pixel& p = linear.at(x, y);
            const float* e = &expected[3 * (std::size_t(y) * bitmap.width + x)];
            worst = std::max({worst, std::fabs(p.r - e[0]), std::fabs(p.g - e[1]), std::fabs(p.b - e[2])});
        }
    EXPECT_LT(worst, 1e-6f);
    const Imaging::Image decoded = ColourSpaces::linearFromBitmap(original, icc);
    double outside = 0;
    for (int y = 0; y < decoded.height(); ++y)
        for (int x = 0; x < decoded.width(); ++x) {
            const Imaging::Pixel& p = decoded.at(x, y);
            outside += std::min({p.r, p.g, p.b}) < -0.002f || std::max({p.r, p.g, p.b}) > 1.002f;
        }
    EXPECT_GT(outside / (double(decoded.width()) * decoded.height()), 0.25);
}

TEST(SourceColour, RenderKeepingTheSourceProfileKeepsItsValues) {
    REQUIRE_FIXTURES();
    for (const char* name : {"jpeg_icc/photoprism_Iceland-P3.jpg", "jpeg_icc/photoprism_ladybug_AdobeRGB.jpg"}) {
        SCOPED_TRACE(name);
        const fs::path file = TestSupport::fixture(name);
        TestSupport::TempDir dir;
        ASSERT_TRUE(Develop::renderToJPEG(Develop::RenderRequest{.source = file,
                                                                 .look = Develop::Look{},
                                                                 .dest = dir / "out.jpg",
                                                                 .quality = 1.0,
                                                                 .preserveJPEGProfile = true}));
        const auto [pixels, icc] = readJPEG(dir / "out.jpg");
        const auto [original, sourceICC] = readJPEG(file);
        EXPECT_EQ(icc, sourceICC);
        const Difference d = deltaE(labOf(pixels, icc), labOf(original, sourceICC));
        EXPECT_LE(d.mean, 0.5);
        std::printf("%s kept in its profile: mean ΔE76 %.3f\n", name, d.mean);
    }
}

TEST(SourceColour, SRGBSourceDecodesAsBefore) {
    REQUIRE_FIXTURES();
    const fs::path file = TestSupport::fixture("jpeg_icc/photoprism_Iceland-sRGB.jpg");
    const auto source = Extraction::open(file);
    ASSERT_TRUE(source);
    EXPECT_TRUE(Extraction::colourProfile(*source).empty());
    const auto decoded = Develop::decode(file, Develop::Look{}, 0);
    const auto bitmap = Extraction::decodeRendered(*source);
    ASSERT_TRUE(decoded && bitmap);
    EXPECT_EQ(cv::norm(decoded->image.mat(), Imaging::sRGBToLinear(Imaging::fromBitmap(*bitmap)).mat(), cv::NORM_INF),
              0.0);
}

}  // namespace
