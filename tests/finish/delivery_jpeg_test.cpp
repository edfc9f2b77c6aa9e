// Inspecting delivered JPEGs and carrying their metadata and colour profile
// onto a render, on generated files and on real files from other software.
#include "finish/delivery_jpeg.h"

#include <filesystem>
#include <functional>

#include "finish_support.h"
#include "jpegprofile/jpegprofile.h"

namespace {

using namespace FinishTest;
using Finish::DeliveryJPEG;

std::string failureOf(const std::function<void()>& action) {
    try {
        action();
        return "";
    } catch (const Finish::FinishFailure& failure) {
        return failure.what();
    } catch (const JPEGColourProfile::Failure& failure) {
        return failure.what();
    }
}

// A copy of `jpeg` whose frame header claims width × height.
Bytes withFrameSize(Bytes jpeg, int width, int height) {
    for (std::size_t at = 2; at + 9 < jpeg.size();) {
        const std::uint8_t code = jpeg[at + 1];
        if (code == 0xC0 || code == 0xC2) {
            jpeg[at + 5] = std::uint8_t(height >> 8);
            jpeg[at + 6] = std::uint8_t(height);
            jpeg[at + 7] = std::uint8_t(width >> 8);
            jpeg[at + 8] = std::uint8_t(width);
            return jpeg;
        }
        at += 2 + ((std::size_t(jpeg[at + 2]) << 8) | jpeg[at + 3]);
    }
    return jpeg;
}

TEST(DeliveryJPEG, Inspect) {
    PictureMetadata turned;
    turned.orientation = 6;
    turned.artist = "Ana";
    turned.copyright = "(c) Ana";
    turned.caption = "Dawn";
    turned.keywords = {"sea", "boat"};
    const Bytes jpeg = makeJPEG(40, 24, 1, turned);
    const Bytes plain = makeJPEG(40, 24, 1);
    PictureMetadata odd;
    odd.orientation = 9;

    const DeliveryJPEG summary = DeliveryJPEG::inspect(jpeg);
    EXPECT_EQ(summary.width, 24);
    EXPECT_EQ(summary.height, 40);
    EXPECT_EQ(summary.orientation, 6);
    EXPECT_EQ(summary.profileHash, Finish::sha256Hex(JPEGColourProfile::sRGBProfile()));
    EXPECT_EQ(summary.metadata, (std::map<std::string, std::string>{{"artist", "Ana"},
                                                                    {"caption", "Dawn"},
                                                                    {"copyright", "(c) Ana"},
                                                                    {"keywords", R"(["sea","boat"])"}}));
    EXPECT_EQ(DeliveryJPEG::inspect(makeJPEG(40, 24, 1, odd)).orientation, 1);
    EXPECT_EQ(DeliveryJPEG::inspect(plain).metadata.size(), 0u);
    EXPECT_EQ(DeliveryJPEG::inspect(makeJPEG(40, 24, 1, {}, wideProfile())).profileHash,
              Finish::sha256Hex(wideProfile()));

    const std::string undecodable = "Delivery JPEG cannot be fully decoded within the tested size limit";
    Bytes twoFrames = plain;
    {
        // A second frame header before the scan.
        const Bytes scan = scanData(plain);
        const std::size_t scanAt = plain.size() - scan.size();
        std::size_t sof = 2;
        while (plain[sof + 1] != 0xC0) sof += 2 + ((std::size_t(plain[sof + 2]) << 8) | plain[sof + 3]);
        const std::size_t sofEnd = sof + 2 + ((std::size_t(plain[sof + 2]) << 8) | plain[sof + 3]);
        twoFrames.insert(twoFrames.begin() + std::ptrdiff_t(scanAt), plain.begin() + std::ptrdiff_t(sof),
                         plain.begin() + std::ptrdiff_t(sofEnd));
    }
    Bytes corrupt = plain;
    for (std::size_t i = corrupt.size() - scanData(plain).size() + 20; i < corrupt.size() - 2; i += 7) corrupt[i] = 0xFF;
    struct Case {
        const char* what;
        Bytes bytes;
        std::string failure;
    };
    const std::vector<Case> cases = {
        {"PNG bytes", bytesOf("\x89PNG\r\n\x1a\n\0\0\0\rIHDR"), "Invalid delivery JPEG"},
        {"header only", Bytes(plain.begin(), plain.end() - std::ptrdiff_t(scanData(plain).size())),
         "Invalid delivery JPEG"},
        {"two frames", twoFrames, "Invalid delivery JPEG"},
        {"scan cut short", Bytes(plain.begin(), plain.end() - 40), undecodable},
        {"scan corrupted", corrupt, undecodable},
        {"above 60 megapixels", withFrameSize(plain, 10000, 6001), undecodable},
        {"grey profile", makeJPEG(8, 8, 1, {}, greyProfile()), "Delivery JPEG needs a supported RGB colour profile"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(failureOf([&] { DeliveryJPEG::inspect(c.bytes); }), c.failure);
    }
}

// Carries `delivered` onto an upright render of its displayed size and checks
// the promises of the result.
void expectCarried(const Bytes& delivered) {
    const DeliveryJPEG d = DeliveryJPEG::inspect(delivered);
    PictureMetadata renderMetadata;
    renderMetadata.artist = "renderer";
    renderMetadata.keywords = {"draft"};
    const Bytes render =
        makeJPEG(int(d.width), int(d.height), 5, renderMetadata, JPEGColourProfile::source(delivered).icc);
    const Bytes carried = DeliveryJPEG::carryingMetadata(delivered, render);

    DeliveryJPEG expected = d;
    expected.orientation = 1;
    EXPECT_EQ(DeliveryJPEG::inspect(carried), expected);
    EXPECT_EQ(scanData(carried), scanData(render));
    EXPECT_EQ(JPEGColourProfile::source(carried).icc, JPEGColourProfile::source(delivered).icc);
}

TEST(DeliveryJPEG, CarryingMetadataKeepsTheRenderAndTheDeliveredMetadata) {
    const Bytes icc = wideProfile();
    PictureMetadata turned;
    turned.orientation = 6;
    turned.artist = "Ana";
    turned.keywords = {"sea"};
    const Bytes delivered = makeJPEG(40, 24, 1, turned, icc);
    expectCarried(delivered);
    expectCarried(makeJPEG(40, 24, 1));

    const std::string changed = "Rendered delivery size, orientation or colour profile changed";
    PictureMetadata upsideDown;
    upsideDown.orientation = 3;
    struct Case {
        const char* what;
        Bytes render;
    };
    const std::vector<Case> cases = {
        {"not turned", makeJPEG(40, 24, 2, {}, icc)},
        {"other profile", makeJPEG(24, 40, 2, {}, wideProfile(1.8))},
        {"no profile", makeJPEG(24, 40, 2)},
        {"orientation 3", makeJPEG(24, 40, 2, upsideDown, icc)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(failureOf([&] { DeliveryJPEG::carryingMetadata(delivered, c.render); }), changed);
    }
}

TEST(DeliveryJPEG, CarryingMetadataOfRealFiles) {
    REQUIRE_FIXTURES();
    const std::vector<std::string> files = {
        "jpeg_iptc/exifr_BonTonARTSTORplusIPTC_AdobeRGB.jpg",
        "jpeg_iptc/exifr_iptc-agency-photographer-example.jpg",
        "jpeg_iptc/exifr_iptc-independent-photographer-example.jpg",
        "jpeg_iptc/exifr_iptc-staff-photographer-example.jpg",
        "jpeg_iptc/exiv2_bug501_iptc.jpg",
        "jpeg_iptc/photoprism_iptc-2014.jpg",
        "jpeg_iptc/photoprism_iptc-2017.jpg",
        "jpeg_iptc/photoprism_keywords.jpg",
        "jpeg_iptc/photoprism_photoshop.jpg",
        "jpeg_iptc/pillow_iptc.jpg",
        "jpeg_icc/exiv2_Reagan_AdobeRGB.jpg",
        "jpeg_icc/photoprism_Iceland-P3.jpg",
        "jpeg_icc/photoprism_ladybug_AdobeRGB.jpg",
        "jpeg_icc/pillow_icc_profile_big_7chunks.jpg",
    };
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        const Bytes delivered = readBytes(TestSupport::fixture(file));
        ASSERT_FALSE(delivered.empty());
        expectCarried(delivered);
    }
    // What the files say, read independently of the carrying.
    const auto staff = DeliveryJPEG::inspect(readBytes(TestSupport::fixture("jpeg_iptc/exifr_iptc-staff-photographer-example.jpg")));
    EXPECT_EQ(staff.metadata.at("artist"), "John Doe");
    EXPECT_EQ(staff.metadata.at("copyright"), "\u00A92010 Big Newspaper, all rights reserved");
    EXPECT_EQ(staff.metadata.at("keywords").rfind("[\"agriculture\",\"farm laborer\",", 0), 0u);
}

}  // namespace

namespace {

// Files turned every way by their orientation tag: each displays as the
// shape its name says, and carries onto an upright render of that shape.
TEST(DeliveryJPEG, OrientationOfRealFiles) {
    REQUIRE_FIXTURES();
    for (const std::string shape : {"Landscape", "Portrait"}) {
        for (int orientation = 0; orientation <= 8; ++orientation) {
            const std::string file = "orientation/recurser/" + shape + "_" + std::to_string(orientation) + ".jpg";
            SCOPED_TRACE(file);
            const Bytes delivered = readBytes(TestSupport::fixture(file));
            ASSERT_FALSE(delivered.empty());
            const DeliveryJPEG d = DeliveryJPEG::inspect(delivered);
            EXPECT_EQ(d.orientation, orientation == 0 ? 1 : orientation);
            EXPECT_EQ(d.width > d.height, shape == "Landscape");
            expectCarried(delivered);
        }
    }
}

}  // namespace

namespace {

// An APP2 ICC chunk numbered `sequence` of `count` holding `part`.
Bytes iccChunk(int sequence, int count, const Bytes& part) {
    const std::string identifier("ICC_PROFILE\0", 12);
    const std::size_t length = 2 + identifier.size() + 2 + part.size();
    Bytes s(2 + length);
    s[0] = 0xFF;
    s[1] = 0xE2;
    s[2] = std::uint8_t(length >> 8);
    s[3] = std::uint8_t(length & 0xFF);
    std::copy(identifier.begin(), identifier.end(), s.begin() + 4);
    s[16] = std::uint8_t(sequence);
    s[17] = std::uint8_t(count);
    std::copy(part.begin(), part.end(), s.begin() + 18);
    return s;
}

// The profile is read only as the JPEG colour-profile reader reads it: chunks
// in any order are joined, and a profile that is not RGB is named as such,
// through `lacquer inspect` as the Studio calls it.
TEST(DeliveryJPEG, InspectReadsTheProfileOnlyThroughItsReader) {
    const Bytes profile = wideProfile();
    const Bytes firstHalf(profile.begin(), profile.begin() + std::ptrdiff_t(profile.size() / 2));
    const Bytes secondHalf(profile.begin() + std::ptrdiff_t(profile.size() / 2), profile.end());
    PictureMetadata metadata;
    metadata.artist = "Ana";
    Bytes outOfOrder = makeJPEG(24, 16, 1, metadata);
    const Bytes second = iccChunk(2, 2, secondHalf), first = iccChunk(1, 2, firstHalf);
    outOfOrder.insert(outOfOrder.begin() + 2, first.begin(), first.end());
    outOfOrder.insert(outOfOrder.begin() + 2, second.begin(), second.end());
    Bytes zeros = makeJPEG(24, 16, 1);
    const Bytes zeroChunk = iccChunk(1, 1, Bytes(200, 0));
    zeros.insert(zeros.begin() + 2, zeroChunk.begin(), zeroChunk.end());

    TestSupport::TempDir dir;
    writeBytes(dir / "ordered.jpg", outOfOrder);
    writeBytes(dir / "zeros.jpg", zeros);
    const Reply ordered = runLacquer(request("inspect", dir.path(), "ordered.jpg"));
    EXPECT_EQ(ordered.status, 0) << ordered.out;
    EXPECT_EQ(ordered.last()["jpeg"]["profileHash"], Finish::sha256Hex(profile));
    EXPECT_EQ(ordered.last()["jpeg"]["metadata"], json({{"artist", "Ana"}}));
    const Reply zero = runLacquer(request("inspect", dir.path(), "zeros.jpg"));
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.last(), errorReply("Delivery JPEG needs a supported RGB colour profile"));
}

}  // namespace
