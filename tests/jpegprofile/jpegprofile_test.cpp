// Reading, checking and embedding JPEG ICC profiles, on hand-made segment
// layouts and on real files with Adobe RGB, Display P3, CMYK and grey profiles.
#include "jpegprofile/jpegprofile.h"

#include <lcms2.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "finish/folder.h"
#include "support/support.h"

namespace {

using JPEGColourProfile::Bytes;

// A small baseline JPEG made by the encoder, without any APP2 segment.
Bytes smallJPEG() {
    std::vector<unsigned char> pixels(16 * 8 * 3, 128);
    tjhandle handle = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, pixels.data(), 16, 0, 8, TJPF_RGB, &out, &size, TJSAMP_444, 90, 0);
    Bytes bytes(out, out + size);
    tjFree(out);
    tjDestroy(handle);
    return bytes;
}

// A valid RGB profile that differs from sRGB (Adobe RGB-like primaries, gamma 2.2).
Bytes otherRGBProfile() {
    cmsCIExyY white{0.3127, 0.3290, 1.0};
    cmsCIExyYTRIPLE primaries{{0.64, 0.33, 1.0}, {0.21, 0.71, 1.0}, {0.15, 0.06, 1.0}};
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsToneCurve* curves[3] = {gamma, gamma, gamma};
    cmsHPROFILE profile = cmsCreateRGBProfile(&white, &primaries, curves);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return bytes;
}

Bytes greyProfile() {
    cmsToneCurve* gamma = cmsBuildGamma(nullptr, 2.2);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), gamma);
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    Bytes bytes(size);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    cmsFreeToneCurve(gamma);
    return bytes;
}

// One APP2 ICC chunk: identifier, numbering and data.
Bytes iccChunk(int sequence, int count, const Bytes& data) {
    const std::size_t length = data.size() + 16;
    Bytes s{0xFF, 0xE2, std::uint8_t(length >> 8), std::uint8_t(length)};
    const std::string id("ICC_PROFILE");
    s.insert(s.end(), id.begin(), id.end());
    s.push_back(0);
    s.push_back(std::uint8_t(sequence));
    s.push_back(std::uint8_t(count));
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

// FF D8, the given segments, then the rest of `jpeg` after its own FF D8.
Bytes withSegments(const std::vector<Bytes>& segments, const Bytes& jpeg) {
    Bytes out{0xFF, 0xD8};
    for (const auto& s : segments) out.insert(out.end(), s.begin(), s.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

std::string failureOf(const Bytes& jpeg) {
    try {
        JPEGColourProfile::source(jpeg);
        return "";
    } catch (const JPEGColourProfile::Failure& failure) {
        return failure.what();
    }
}

// The profile chunks of `jpeg` as (offset, sequence, count, length field).
struct Chunk {
    std::size_t at;
    int sequence, count;
    std::size_t length;
};
std::vector<Chunk> chunksOf(const Bytes& jpeg) {
    std::vector<Chunk> found;
    for (std::size_t at = 2; at + 4 <= jpeg.size();) {
        if (jpeg[at] != 0xFF) break;
        const std::uint8_t code = jpeg[at + 1];
        if (code == 0xDA || code == 0xD9) break;
        const std::size_t length = (std::size_t(jpeg[at + 2]) << 8) | jpeg[at + 3];
        if (code == 0xE2 && length >= 16 && std::string(jpeg.begin() + at + 4, jpeg.begin() + at + 15) == "ICC_PROFILE")
            found.push_back({at, jpeg[at + 16], jpeg[at + 17], length});
        at += 2 + length;
    }
    return found;
}

TEST(JPEGColourProfile, SourceReadsChunkLayouts) {
    const Bytes base = smallJPEG();
    const Bytes profile = otherRGBProfile();
    const std::size_t half = profile.size() / 2;
    const Bytes first = iccChunk(1, 2, slice(profile, 0, half));
    const Bytes second = iccChunk(2, 2, slice(profile, half, profile.size()));
    Bytes shortAPP2{0xFF, 0xE2, 0x00, 0x0F};  // length 15, starts with the identifier
    for (char c : std::string("ICC_PROFILE")) shortAPP2.push_back(std::uint8_t(c));
    shortAPP2.push_back(0);
    shortAPP2.push_back(1);

    struct Case {
        const char* what;
        Bytes jpeg;
        std::string failure;  // empty: succeeds
        Bytes icc;            // expected profile on success
    };
    const std::vector<Case> cases = {
        {"no chunks gives sRGB", base, "", JPEGColourProfile::sRGBProfile()},
        {"chunks in order", withSegments({first, second}, base), "", profile},
        {"chunks out of order", withSegments({second, first}, base), "", profile},
        {"length-15 APP2 is ignored", withSegments({shortAPP2}, base), "", JPEGColourProfile::sRGBProfile()},
        {"fill bytes before markers", withSegments({Bytes{0xFF, 0xFF, 0xFF}, first, second}, base), "", profile},
        {"two chunks numbered 1", withSegments({first, iccChunk(1, 2, {})}, base),
         "Invalid delivery colour profile chunks", {}},
        {"chunk 3 of 2", withSegments({iccChunk(3, 2, {1})}, base), "Invalid delivery colour profile chunks", {}},
        {"chunk 0", withSegments({iccChunk(0, 2, {1})}, base), "Invalid delivery colour profile chunks", {}},
        {"count 0", withSegments({iccChunk(1, 0, {1})}, base), "Invalid delivery colour profile chunks", {}},
        {"counts 2 and 3", withSegments({first, iccChunk(2, 3, {1})}, base),
         "Invalid delivery colour profile chunks", {}},
        {"chunk 1 of 2 alone", withSegments({first}, base), "Incomplete delivery colour profile", {}},
        {"grey profile", withSegments({iccChunk(1, 1, greyProfile())}, base),
         "Delivery JPEG needs a supported RGB colour profile", {}},
        {"garbage profile", withSegments({iccChunk(1, 1, Bytes(200, 7))}, base),
         "Delivery JPEG needs a supported RGB colour profile", {}},
        {"not a JPEG", Bytes{0x89, 'P', 'N', 'G'}, "Invalid delivery JPEG", {}},
        {"empty", Bytes{}, "Invalid delivery JPEG", {}},
        {"junk where a marker belongs", Bytes{0xFF, 0xD8, 0x00, 0xFF, 0xD9}, "Invalid JPEG header", {}},
        {"fill bytes to the end", Bytes{0xFF, 0xD8, 0xFF, 0xFF}, "Incomplete JPEG header", {}},
        {"length cut off", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00}, "Incomplete JPEG segment", {}},
        {"length below 2", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01}, "Invalid JPEG segment length", {}},
        {"length past the end", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x08, 1, 2}, "Invalid JPEG segment length", {}},
        {"ends after a segment without a scan", Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 1, 2}, "",
         JPEGColourProfile::sRGBProfile()},
        {"stand-alone markers", Bytes{0xFF, 0xD8, 0xFF, 0x01, 0xFF, 0xD3, 0xFF, 0xD9}, "",
         JPEGColourProfile::sRGBProfile()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(failureOf(c.jpeg), c.failure);
        if (c.failure.empty()) {
            EXPECT_EQ(JPEGColourProfile::source(c.jpeg).icc, c.icc);
        }
    }
}

// sRGB's profile is fixed data: its digest never changes, and the colour
// library reads it as sRGB's colours.
TEST(JPEGColourProfile, SRGBProfileIsOneFixedByteSequence) {
    const Bytes& icc = JPEGColourProfile::sRGBProfile();
    EXPECT_EQ(icc.size(), 8808u);
    EXPECT_EQ(Finish::sha256Hex(icc), "e35b666698760fa24348e2574a178cd73943d2715c0465506fc5a96d499ecebe");
    cmsHPROFILE profile = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    ASSERT_NE(profile, nullptr);
    EXPECT_EQ(cmsGetEncodedICCversion(profile) >> 24, 2u);
    char description[64] = {};
    cmsGetProfileInfoASCII(profile, cmsInfoDescription, "en", "US", description, sizeof description);
    EXPECT_STREQ(description, "sRGB IEC61966-2.1");
    // The same colours as the library's own sRGB, to well below one 16-bit step.
    cmsHPROFILE builtIn = cmsCreate_sRGBProfile();
    cmsHTRANSFORM t = cmsCreateTransform(profile, TYPE_RGB_16, builtIn, TYPE_RGB_16, INTENT_RELATIVE_COLORIMETRIC,
                                         cmsFLAGS_NOOPTIMIZE);
    ASSERT_NE(t, nullptr);
    int worst = 0;
    for (int v = 0; v <= 65535; v += 257) {
        const cmsUInt16Number in[3] = {cmsUInt16Number(v), cmsUInt16Number(65535 - v), cmsUInt16Number(v / 2)};
        cmsUInt16Number out[3];
        cmsDoTransform(t, in, out, 1);
        for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(int(out[c]) - int(in[c])));
    }
    EXPECT_LE(worst, 40);
    cmsDeleteTransform(t);
    cmsCloseProfile(builtIn);
    cmsCloseProfile(profile);
}

TEST(JPEGColourProfile, SRGBProfileIsAnRGBProfile) {
    EXPECT_FALSE(JPEGColourProfile::sRGBProfile().empty());
    EXPECT_TRUE(JPEGColourProfile::isRGBProfile(JPEGColourProfile::sRGBProfile()));
    EXPECT_FALSE(JPEGColourProfile::isRGBProfile(greyProfile()));
    EXPECT_FALSE(JPEGColourProfile::isRGBProfile({}));
}

TEST(JPEGColourProfile, EmbedSplitsIntoChunksAndReplacesTheOldProfile) {
    const Bytes base = smallJPEG();
    // A base that already carries a profile after its APP0 segment.
    const Bytes withOld = [&] {
        Bytes out(base.begin(), base.begin() + 20);  // FF D8 + JFIF APP0 (18 bytes)
        const Bytes chunk = iccChunk(1, 1, otherRGBProfile());
        out.insert(out.end(), chunk.begin(), chunk.end());
        out.insert(out.end(), base.begin() + 20, base.end());
        return out;
    }();
    ASSERT_EQ(base[2], 0xFF);
    ASSERT_EQ(base[3], 0xE0);

    struct Case {
        std::size_t profileSize;
        const Bytes* into;
        std::vector<std::size_t> lengths;  // expected length fields of the new chunks
    };
    const std::vector<Case> cases = {
        {1000, &base, {1016}},
        {65519, &base, {65535}},
        {65520, &base, {65535, 17}},
        {65519 * 255, &base, std::vector<std::size_t>(255, 65535)},
        {3000, &withOld, {3016}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profileSize);
        Bytes profile(c.profileSize);
        for (std::size_t i = 0; i < profile.size(); ++i) profile[i] = std::uint8_t(i * 31 + 7);
        const auto out = JPEGColourProfile::embed(profile, *c.into);
        ASSERT_TRUE(out);
        const auto chunks = chunksOf(*out);
        ASSERT_EQ(chunks.size(), c.lengths.size());
        Bytes joined;
        std::size_t at = 2;
        for (std::size_t k = 0; k < chunks.size(); ++k) {
            EXPECT_EQ(chunks[k].at, at);  // right after FF D8, one after another
            EXPECT_EQ(chunks[k].sequence, int(k + 1));
            EXPECT_EQ(chunks[k].count, int(chunks.size()));
            EXPECT_EQ(chunks[k].length, c.lengths[k]);
            joined.insert(joined.end(), out->begin() + at + 18, out->begin() + at + 2 + chunks[k].length);
            at += 2 + chunks[k].length;
        }
        EXPECT_EQ(joined, profile);
        // Everything after the new chunks is the input without its old chunks.
        EXPECT_EQ(Bytes(out->begin() + at, out->end()), Bytes(base.begin() + 2, base.end()));
    }
    EXPECT_FALSE(JPEGColourProfile::embed(Bytes(65519 * 255 + 1, 1), base));
    EXPECT_FALSE(JPEGColourProfile::embed({}, base));
    EXPECT_FALSE(JPEGColourProfile::embed({1, 2, 3}, Bytes{0x89, 'P', 'N', 'G'}));
    // A header that ends without a scan reads fine but cannot take a profile.
    EXPECT_FALSE(JPEGColourProfile::embed({1, 2, 3}, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 1, 2}));
    EXPECT_FALSE(JPEGColourProfile::embed({1, 2, 3}, Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x09, 1, 2}));
}

TEST(JPEGColourProfile, EmbeddedProfileReadsBack) {
    const Bytes profile = otherRGBProfile();
    const auto out = JPEGColourProfile::embed(profile, smallJPEG());
    ASSERT_TRUE(out);
    EXPECT_EQ(JPEGColourProfile::source(*out).icc, profile);
    // And through a file, whose extension decides first.
    TestSupport::TempDir dir;
    TestSupport::writeFile(dir / "a.JPEG", std::string(out->begin(), out->end()));
    TestSupport::writeFile(dir / "a.png", std::string(out->begin(), out->end()));
    EXPECT_EQ(JPEGColourProfile::source(dir / "a.JPEG").icc, profile);
    EXPECT_THROW(
        {
            try {
                JPEGColourProfile::source(dir / "a.png");
            } catch (const JPEGColourProfile::Failure& f) {
                EXPECT_STREQ(f.what(), "Preserving a delivery profile requires a JPEG");
                throw;
            }
        },
        JPEGColourProfile::Failure);
    EXPECT_THROW(JPEGColourProfile::source(dir / "missing.jpg"), std::system_error);
}

TEST(JPEGColourProfile, RealFiles) {
    REQUIRE_FIXTURES();
    struct Case {
        const char* file;
        std::string failure;
        bool sRGB;  // no profile in the file
    };
    const std::vector<Case> cases = {
        {"jpeg_icc/exiv2_Reagan_AdobeRGB.jpg", "", false},
        {"jpeg_icc/photoprism_Iceland-P3.jpg", "", false},
        {"jpeg_icc/photoprism_Iceland-sRGB.jpg", "", true},
        {"jpeg_icc/pillow_hopper_gray.jpg", "", true},
        {"jpeg_icc/photoprism_ladybug_AdobeRGB.jpg", "", false},
        {"jpeg_icc/pillow_icc_profile_big_7chunks.jpg", "", false},
        {"jpeg_icc/exifr_CMYK_SWOP_icc9chunks.jpg", "Delivery JPEG needs a supported RGB colour profile", false},
        {"jpeg_icc/sharp_CMYK_SWOP_icc18chunks.jpg", "Delivery JPEG needs a supported RGB colour profile", false},
        {"jpeg_icc/sharp_concert_gray_GrayGamma22.jpg", "Delivery JPEG needs a supported RGB colour profile", false},
        {"jpeg_icc/pillow_cmyk_noicc.jpg", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string text = TestSupport::readFile(TestSupport::fixture(c.file));
        ASSERT_FALSE(text.empty());
        const Bytes jpeg(text.begin(), text.end());
        EXPECT_EQ(failureOf(jpeg), c.failure);
        if (!c.failure.empty()) continue;
        const Bytes icc = JPEGColourProfile::source(jpeg).icc;
        EXPECT_EQ(icc == JPEGColourProfile::sRGBProfile(), c.sRGB);
        // Moving the profile into a plain JPEG and back keeps it bit for bit,
        // and embedding it again into its own file leaves the file readable.
        const auto moved = JPEGColourProfile::embed(icc, smallJPEG());
        ASSERT_TRUE(moved);
        EXPECT_EQ(JPEGColourProfile::source(*moved).icc, icc);
        const auto again = JPEGColourProfile::embed(icc, jpeg);
        ASSERT_TRUE(again);
        EXPECT_EQ(JPEGColourProfile::source(*again).icc, icc);
    }
}

}  // namespace
