// Previews keep the pixels as the file holds them, so a preview of a photo in
// another colour space than sRGB names that colour space: the JPEG's own
// profile, the HEIC's, or Adobe RGB for a RAW file whose EXIF says so. sRGB
// photos get previews without a profile, as before.
#include <lcms2.h>
#include <turbojpeg.h>

#include <filesystem>
#include <numeric>

#include <opencv2/imgproc.hpp>

#include "engine/imaging/colour_spaces.h"
#include "engine/library/extraction.h"
#include "engine/library/source_exiv2.h"
#include "engine/protocol/handler.h"
#include "engine/protocol/records.h"
#include "jpegprofile/jpegprofile.h"
#include "support/support.h"

using namespace Protocol;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes readBytes(const fs::path& file) {
    const std::string text = TestSupport::readFile(file);
    return Bytes(text.begin(), text.end());
}

bool hasICCChunk(const Bytes& jpeg) {
    const std::string marker = "ICC_PROFILE";
    return std::search(jpeg.begin(), jpeg.end(), marker.begin(), marker.end()) != jpeg.end();
}

Imaging::Bitmap decodeJPEG(const Bytes& bytes) {
    tjhandle d = tjInitDecompress();
    int w = 0, h = 0, sub = 0, space = 0;
    Imaging::Bitmap bitmap;
    if (tjDecompressHeader3(d, bytes.data(), bytes.size(), &w, &h, &sub, &space) == 0) {
        bitmap = Imaging::Bitmap(w, h, 3);
        if (tjDecompress2(d, bytes.data(), bytes.size(), bitmap.pixels.data(), w, 0, h, TJPF_RGB, TJFLAG_ACCURATEDCT))
            bitmap = {};
    }
    tjDestroy(d);
    return bitmap;
}

std::vector<cmsCIELab> labOf(const Imaging::Bitmap& bitmap, const Bytes& icc) {
    const Bytes& profile = icc.empty() ? JPEGColourProfile::sRGBProfile() : icc;
    cmsHPROFILE from = cmsOpenProfileFromMem(profile.data(), cmsUInt32Number(profile.size()));
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM t = cmsCreateTransform(from, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_RELATIVE_COLORIMETRIC, 0);
    std::vector<cmsCIELab> out(std::size_t(bitmap.width) * bitmap.height);
    if (t) cmsDoTransform(t, bitmap.pixels.data(), out.data(), cmsUInt32Number(out.size()));
    if (t) cmsDeleteTransform(t);
    cmsCloseProfile(lab);
    if (from) cmsCloseProfile(from);
    return out;
}

enum class Expect { sourceProfile, noProfile };

struct Case {
    const char* fixture;
    Expect expect;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.fixture; }

class PreviewProfile : public ::testing::TestWithParam<Case> {};

// The preview written for the Studio, and how a viewer that honours its
// profile shows it next to the source (scaled to the preview's size).
TEST_P(PreviewProfile, PreviewNamesTheSourcesColourSpace) {
    REQUIRE_FIXTURES();
    const fs::path src = TestSupport::fixture(GetParam().fixture);
    TestSupport::TempDir dir;
    Request request;
    request.id = 1;
    request.src = src.string();
    request.out = (dir / "preview.jpg").string();
    request.max = 400;
    const Result result = handle(request);
    ASSERT_TRUE(result.ok) << (result.error ? *result.error : "");
    const Bytes preview = readBytes(dir / "preview.jpg");

    const auto source = Extraction::open(src);
    ASSERT_TRUE(source);
    const Bytes sourceICC = Extraction::colourProfile(*source);
    if (GetParam().expect == Expect::noProfile) {
        EXPECT_TRUE(sourceICC.empty());
        EXPECT_FALSE(hasICCChunk(preview));
        return;
    }
    ASSERT_FALSE(sourceICC.empty());
    ASSERT_TRUE(hasICCChunk(preview));
    const Bytes previewICC = JPEGColourProfile::source(preview).icc;
    EXPECT_EQ(previewICC, sourceICC);
    const std::string bytes = TestSupport::readFile(src);
    if (bytes.size() > 2 && std::uint8_t(bytes[0]) == 0xFF && std::uint8_t(bytes[1]) == 0xD8) {
        EXPECT_EQ(previewICC, JPEGColourProfile::source(Bytes(bytes.begin(), bytes.end())).icc);  // the JPEG's own bytes
    }

    // Colours compared over 8×8-pixel blocks of the preview, so that the
    // preview's own scaling and compression do not count, only its colours.
    const Imaging::Bitmap decoded = decodeJPEG(preview);
    const auto full = Extraction::decodeRendered(*source);
    ASSERT_TRUE(full && !decoded.empty());
    const cv::Size blocks(std::max(1, decoded.width / 8), std::max(1, decoded.height / 8));
    const auto reduced = [&](const Imaging::Bitmap& b) {
        cv::Mat scaled;
        cv::resize(cv::Mat(b.height, b.width, CV_8UC3, const_cast<std::uint8_t*>(b.pixels.data())), scaled, blocks, 0,
                   0, cv::INTER_AREA);
        Imaging::Bitmap out(blocks.width, blocks.height, 3);
        std::memcpy(out.pixels.data(), scaled.data, out.pixels.size());
        return out;
    };
    const auto a = labOf(reduced(decoded), previewICC), b = labOf(reduced(*full), sourceICC);
    double sum = 0;
    for (std::size_t k = 0; k < a.size(); ++k) sum += cmsDeltaE(&a[k], &b[k]);
    EXPECT_LE(sum / double(a.size()), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, PreviewProfile,
                         ::testing::Values(Case{"jpeg_icc/photoprism_Iceland-P3.jpg", Expect::sourceProfile},
                                           Case{"jpeg_icc/photoprism_ladybug_AdobeRGB.jpg", Expect::sourceProfile},
                                           Case{"heic/ianare_IMG_5195.HEIC", Expect::sourceProfile},
                                           Case{"heic/libvips_heic-orientation-6.heic", Expect::sourceProfile},
                                           Case{"jpeg_icc/photoprism_Iceland-sRGB.jpg", Expect::noProfile},
                                           Case{"jpeg_camera/ianare_Canon_40D.jpg", Expect::noProfile}));

// A RAW file whose EXIF says its preview is Adobe RGB (colour space
// "uncalibrated", interoperability index "R03") gets an Adobe RGB profile;
// the same file saying sRGB ("R98", colour space 1) gets none.
TEST(PreviewProfileRaw, EXIFColourSpaceOfTheRawDecides) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const fs::path original = TestSupport::fixture("raw/complete/photoprism_canon_eos_6d.dng");
    for (const bool adobe : {true, false}) {
        SCOPED_TRACE(adobe ? "Adobe RGB" : "sRGB");
        const fs::path raw = dir / (adobe ? "adobe.dng" : "srgb.dng");
        fs::copy_file(original, raw);
        {
            auto image = Extraction::adoptExiv2(Exiv2::ImageFactory::open(raw.string()));
            ASSERT_TRUE(image);
            image->readMetadata();
            Exiv2::ExifData& exif = image->exifData();
            exif["Exif.Photo.ColorSpace"] = std::uint16_t(adobe ? 0xFFFF : 1);
            exif["Exif.Iop.InteroperabilityIndex"] = adobe ? "R03" : "R98";
            image->writeMetadata();
        }
        Request request;
        request.id = 1;
        request.src = raw.string();
        request.out = (dir / "preview.jpg").string();
        request.max = 400;
        const Result result = handle(request);
        ASSERT_TRUE(result.ok) << (result.error ? *result.error : "");
        const Bytes preview = readBytes(dir / "preview.jpg");
        EXPECT_EQ(hasICCChunk(preview), adobe);
        if (adobe) {
            EXPECT_EQ(JPEGColourProfile::source(preview).icc, ColourSpaces::adobeRGBProfile());
        }
    }
}

}  // namespace
