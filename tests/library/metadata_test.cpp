#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop

#include <functional>

#include "engine/library/extraction.h"
#include "engine/library/source_state.h"
#include "library_support.h"

using namespace TestSupport;

namespace {

using Text = std::optional<std::string>;

TEST(CameraName, CombinesMakeAndModel) {
    struct {
        Text make, model, camera;
    } cases[] = {
        {"Canon", "Canon EOS R5", "Canon EOS R5"},
        {"NIKON CORPORATION", "NIKON Z 6", "NIKON CORPORATION NIKON Z 6"},
        {"SONY", "ILCE-7M3", "SONY ILCE-7M3"},
        {"FUJIFILM", std::nullopt, "FUJIFILM"},
        {std::nullopt, "X100V", "X100V"},
        {std::nullopt, std::nullopt, std::nullopt},
        {"Apple", "apple iPhone", "apple iPhone"},  // the comparison ignores case
        {"OLYMPUS IMAGING CORP.", "E-M5", "OLYMPUS IMAGING CORP. E-M5"},
    };
    for (auto& c : cases) EXPECT_EQ(Extraction::cameraName(c.make, c.model), c.camera);
}

TEST(CanonEv, ThirdsAndWholeSteps) {
    const std::pair<int, double> cases[] = {
        {32, 1.0}, {0, 0.0}, {12, 1.0 / 3}, {20, 2.0 / 3}, {16, 0.5}, {160, 5.0},
        {-76, -(2 + 1.0 / 3)},  // 64 + a third, negative
        {-74, -2.3125},         // other fractions are plain 32nds
    };
    for (auto [value, ev] : cases) EXPECT_NEAR(Extraction::canonEv(value), ev, 1e-12) << value;
}

TEST(CleanText, TrimsBlanksAndLineBreaksAndDropsEmptyText) {
    struct {
        std::string in;
        Text out;
    } cases[] = {
        {"  FUJIFILM\n", "FUJIFILM"},
        {"\t0123\r\n", "0123"},
        {"   ", std::nullopt},
        {"", std::nullopt},
        {"\xC2\xA0\xE3\x80\x80Leica\xE2\x80\xA8", "Leica"},  // no-break, ideographic and line separators
        {"EF 50 mm", "EF 50 mm"},                            // inner blanks stay
        {"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9"},          // accented letters are not blanks
    };
    for (auto& c : cases) EXPECT_EQ(Extraction::cleanText(c.in), c.out) << c.in;
}

struct Expected {
    const char* file;
    std::optional<long long> rawW, rawH;
    Text camera, serial, lens, shotAt;
    std::optional<double> focalLength, exposureTime, aperture;
    std::optional<long long> iso;
    std::optional<int> orientation;
};

TEST(Metadata, RealCameraFiles) {
    REQUIRE_FIXTURES();
    const Expected cases[] = {
        {"raw/partial/imagemeta_Canon1DsMkIII_truncated.cr2", 5616, 3744, "Canon EOS-1Ds Mark III", "600005",
         "EF50mm f/1.2L USM", "2007:10:18 13:44:32", 50.0, 0.025, 1.2, 100, 1},
        {"raw/partial/imagemeta_NikonD7100_truncated.nef", 6036, 4020, "NIKON CORPORATION NIKON D7100", "7302381",
         std::nullopt, "2013:09:03 09:45:16", 50.0, 1.0 / 30, 8.0, 100, 1},
        {"raw/partial/imagemeta_SonySLTA55_truncated.arw", 4928, 3280, "SONY SLT-A55V", std::nullopt,
         "DT 18-200mm F3.5-6.3", "2017:10:22 11:54:20", 30.0, 0.01, 13.0, 100, 1},
        {"raw/partial/exiv2_Canon-R6-pruned.cr3", 3408, 2272, "Canon EOS R6", "093022004357",
         "RF70-200mm F2.8 L IS USM", "2021:05:12 12:21:21", 200.0, 0.25, 25.0, 100, 1},
        {"raw/partial/nomexif_CanonR6_truncated.cr3", 5472, 3648, "Canon EOS R6", "072021007989",
         "EF100mm f/2.8L Macro IS USM", "2025:09:06 20:24:47", 100.0, 0.01, 2.8, 25600, 1},
        // CRW: exposure, ISO, focal length and serial number from Canon's own records
        // (exiftool -n: 5.03968419957949 s, ISO 100, 31 mm, 305465770).
        {"raw/complete/imagemeta_CanonEOSD30.crw", 2176, 1448, "Canon EOS D30", "305465770", std::nullopt,
         "2018:01:01 13:03:32", 31.0, 5.03968419957949, 2828427.0 / 500000, 100, 1},
        {"heic/libvips_heic-orientation-6.heic", 4032, 3024, "Apple iPhone XS", std::nullopt,
         "iPhone XS back dual camera 4.25mm f/1.8", "2020:03:05 11:28:10", 4.25, 1.0 / 121, 1.8, 40, 6},
        // EXIF blocks that only libheif finds.
        {"heic/exifpy_spring_1440x960.heic", 1440, 960, std::nullopt, std::nullopt, std::nullopt,
         "2020:12:03 15:04:31", std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
        {"heic/ianare_samplefilehub.heif", 640, 426, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, std::nullopt, std::nullopt, std::nullopt, 1},
        // A JPEG without any EXIF block: only its size.
        {"orientation/pillow/hopper.jpg", 128, 128, std::nullopt, std::nullopt, std::nullopt,
         std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const Expected& c : cases) {
        SCOPED_TRACE(c.file);
        auto source = Extraction::open(fixture(c.file));
        ASSERT_TRUE(source);
        auto m = Extraction::metadata(*source);
        EXPECT_EQ(m.rawW, c.rawW);
        EXPECT_EQ(m.rawH, c.rawH);
        EXPECT_EQ(m.camera, c.camera);
        EXPECT_EQ(m.cameraSerial, c.serial);
        EXPECT_EQ(m.lens, c.lens);
        EXPECT_EQ(m.shotAt, c.shotAt);
        auto near = [](std::optional<double> a, std::optional<double> b) {
            return a.has_value() == b.has_value() && (!a || std::abs(*a - *b) < 1e-9 * std::max(1.0, std::abs(*b)));
        };
        EXPECT_TRUE(near(m.focalLength, c.focalLength));
        EXPECT_TRUE(near(m.exposureTime, c.exposureTime));
        EXPECT_TRUE(near(m.aperture, c.aperture));
        EXPECT_EQ(m.iso, c.iso);
        EXPECT_EQ(m.orientation, c.orientation);
    }
}

// Tag values written into a small JPEG, and what the record makes of them.
struct Crafted {
    const char* name;
    std::function<void(Exiv2::ExifData&, Exiv2::XmpData&)> write;
    std::function<void(const Extraction::ImageMetadata&)> check;
};

TEST(Metadata, TagRules) {
    Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
    const Crafted cases[] = {
        {"make padded, no model",
         [](auto& exif, auto&) { exif["Exif.Image.Make"] = "  FUJIFILM\n"; },
         [](auto& m) { EXPECT_EQ(m.camera, "FUJIFILM"); }},
        {"empty make counts as absent",
         [](auto& exif, auto&) {
             exif["Exif.Image.Make"] = "   ";
             exif["Exif.Image.Model"] = "X100V";
         },
         [](auto& m) { EXPECT_EQ(m.camera, "X100V"); }},
        {"serial stored as a number",
         [](auto& exif, auto&) { exif["Exif.Photo.BodySerialNumber"] = uint32_t(123456); },
         [](auto& m) { EXPECT_EQ(m.cameraSerial, "123456"); }},
        {"blank serial falls back to the auxiliary one, lens likewise",
         [](auto& exif, auto& xmp) {
             exif["Exif.Photo.BodySerialNumber"] = "    ";
             xmp["Xmp.aux.SerialNumber"] = "0123";
             xmp["Xmp.aux.Lens"] = " EF50mm f/1.8 STM ";
         },
         [](auto& m) {
             EXPECT_EQ(m.cameraSerial, "0123");
             EXPECT_EQ(m.lens, "EF50mm f/1.8 STM");
         }},
        {"EXIF wins over the auxiliary block",
         [](auto& exif, auto& xmp) {
             exif["Exif.Photo.BodySerialNumber"] = "A1";
             exif["Exif.Photo.LensModel"] = "RF50mm F1.2";
             xmp["Xmp.aux.SerialNumber"] = "B2";
             xmp["Xmp.aux.Lens"] = "other";
         },
         [](auto& m) {
             EXPECT_EQ(m.cameraSerial, "A1");
             EXPECT_EQ(m.lens, "RF50mm F1.2");
         }},
        {"first of several ISO values, exposure values as numbers",
         [](auto& exif, auto&) {
             Exiv2::UShortValue iso;
             iso.read("200 400");
             exif["Exif.Photo.ISOSpeedRatings"] = iso;
             exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 250);
             exif["Exif.Photo.FNumber"] = Exiv2::URational(28, 10);
             exif["Exif.Photo.FocalLength"] = Exiv2::URational(85, 1);
             exif["Exif.Photo.DateTimeOriginal"] = "2024:05:17 10:42:07 ";
             exif["Exif.Image.Orientation"] = uint16_t(8);
         },
         [](auto& m) {
             EXPECT_EQ(m.iso, 200);
             EXPECT_DOUBLE_EQ(m.exposureTime.value_or(0), 0.004);
             EXPECT_DOUBLE_EQ(m.aperture.value_or(0), 2.8);
             EXPECT_DOUBLE_EQ(m.focalLength.value_or(0), 85.0);
             EXPECT_EQ(m.shotAt, "2024:05:17 10:42:07");
             EXPECT_EQ(m.orientation, 8);
             EXPECT_EQ(m.rawW, 48);
             EXPECT_EQ(m.rawH, 32);
         }},
        {"TIFF DOUBLE and FLOAT values keep the value written",
         [](auto& exif, auto&) {
             Exiv2::DoubleValue aperture;
             aperture.read("2.8");
             exif.add(Exiv2::ExifKey("Exif.Photo.FNumber"), &aperture);
             Exiv2::FloatValue focal;
             focal.read("85.7");
             exif.add(Exiv2::ExifKey("Exif.Photo.FocalLength"), &focal);
             Exiv2::DoubleValue exposure;
             exposure.read("0.0003");
             exif.add(Exiv2::ExifKey("Exif.Photo.ExposureTime"), &exposure);
         },
         [](auto& m) {
             EXPECT_EQ(m.aperture, 2.8);
             EXPECT_EQ(m.focalLength, 85.7);
             EXPECT_EQ(m.exposureTime, 0.0003);
         }},
        {"a zero denominator is no number; a list is no text",
         [](auto& exif, auto&) {
             exif["Exif.Photo.FocalLength"] = Exiv2::URational(0, 0);
             Exiv2::ULongValue serial;
             serial.read("1 2");
             exif["Exif.Photo.BodySerialNumber"] = serial;
         },
         [](auto& m) {
             EXPECT_FALSE(m.focalLength);
             EXPECT_FALSE(m.cameraSerial);
         }},
    };

    TempDir dir;
    Imaging::Bitmap picture = LibraryTest::testPattern(48, 32);
    for (const Crafted& c : cases) {
        SCOPED_TRACE(c.name);
        auto path = dir / "crafted.jpg";
        ASSERT_TRUE(Extraction::writeJPEG(picture, path, 0.8));
        {
            auto image = Exiv2::ImageFactory::open(path.string());
            image->readMetadata();
            Exiv2::ExifData exif;
            Exiv2::XmpData xmp;
            c.write(exif, xmp);
            image->setExifData(exif);
            image->setXmpData(xmp);
            image->writeMetadata();
        }
        auto source = Extraction::open(path);
        ASSERT_TRUE(source);
        c.check(Extraction::metadata(*source));
    }
}

}  // namespace
