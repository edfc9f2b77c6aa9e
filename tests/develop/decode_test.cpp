// Decoding photo files into working pictures: sizes, white balance, the cache
// and bad files.

#include <cmath>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "engine/develop/decode.h"
#include "engine/develop/white_balance.h"
#include "develop/sample_raw.h"
#include "support/support.h"

using namespace Develop;

namespace {

const char* sampleJPEG = "jpeg_camera/ianare_DSCN0010.jpg";  // 640 × 480

Look lookWith(std::optional<double> temperature, std::optional<double> tint) {
    Look look;
    look.temperature = temperature;
    look.tint = tint;
    return look;
}

double meanDifference(const Imaging::Image& a, const Imaging::Image& b) {
    if (a.extent() != b.extent()) return INFINITY;
    return cv::norm(a.mat(), b.mat(), cv::NORM_L1) / double(a.mat().total() * 4);
}

}  // namespace

TEST(RawScaleFactor, StepsJustBelowTheRatio) {
    const double s = rawScaleFactor(2048, 6000);
    EXPECT_LT(s, 2048.0 / 6000.0);
    EXPECT_EQ(float(s), std::nextafter(float(2048.0 / 6000.0), 0.0f));
    EXPECT_LT(6000 * s, 2048.0);
    EXPECT_EQ(rawScaleFactor(0, 6000), 1.0);
    EXPECT_EQ(rawScaleFactor(-5, 6000), 1.0);
    EXPECT_EQ(rawScaleFactor(8000, 6000), 1.0);
}

TEST(WhiteBalance, RobertsonRoundTripsAndFindsDaylight) {
    // D65 sits at about 6500 K, just off the locus.
    const auto d65 = WhiteBalance::neutralOf({0.3127, 0.3290});
    EXPECT_NEAR(d65.temperature, 6504, 30);
    EXPECT_NEAR(d65.tint, 0, 12);
    for (const WhiteBalance::Neutral n : {WhiteBalance::Neutral{2500, 0}, {3200, 20}, {5000, -30}, {6500, 0}, {12000, 60}}) {
        const auto back = WhiteBalance::neutralOf(WhiteBalance::chromaticityOf(n));
        EXPECT_NEAR(back.temperature, n.temperature, n.temperature * 0.002) << n.temperature;
        EXPECT_NEAR(back.tint, n.tint, 0.5) << n.temperature;
    }
    // A neutral adapted to itself changes nothing.
    const auto same = WhiteBalance::adaptation({5000, 10}, {5000, 10});
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(same[r][c], r == c ? 1.0 : 0.0, 1e-9);
}

TEST(DecodeRaw, SizesScalesAndAsShotWhiteBalance) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);  // 160 × 120 Bayer
    struct Case {
        int longEdge;
        int width, height;
        bool fullScale;
    };
    for (const Case c : {Case{0, 160, 120, true}, Case{4000, 160, 120, true}, Case{100, 100, 75, false}, Case{60, 60, 45, false}}) {
        SCOPED_TRACE(c.longEdge);
        const auto decoded = decode(*dng, Look::neutral(), c.longEdge);
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(decoded->extended);
        EXPECT_EQ(decoded->image.width(), c.width);
        EXPECT_EQ(decoded->image.height(), c.height);
        EXPECT_EQ(decoded->detailScale, c.fullScale ? 1.0 : rawScaleFactor(c.longEdge, 160));
        // make-dng records a D65 as-shot neutral: about 6500 K, and a tint near
        // zero (daylight sits a little above the Planckian locus, about +10).
        ASSERT_TRUE(decoded->cameraTemperature && decoded->cameraTint);
        EXPECT_NEAR(*decoded->cameraTemperature, 6500, 100);
        EXPECT_NEAR(*decoded->cameraTint, 0, 12);
    }
}

// The sample a decode makes beside its picture is the picture a decode of
// its own at the sample's size gives, bit for bit; decodes that cannot make
// it from their own data (a white-balance change, a full-size demosaic) leave
// it out. A real camera file (2160 pixels wide) and a made one.
TEST(DecodeRaw, SampleIsTheSmallDecodeItself) {
    REQUIRE_FIXTURES();
    const int sampleEdge = 320;
    const auto crw = TestSupport::fixture("raw/complete/imagemeta_CanonEOSD30.crw");
    if (!std::filesystem::exists(crw)) GTEST_SKIP() << "no RAW sample";
    const auto own = decode(crw, Look{}, sampleEdge);
    ASSERT_TRUE(own && own->extended);
    EXPECT_FALSE(own->sample);  // not asked for
    for (const int edge : {160, 640, 1000}) {
        const auto decoded = decode(crw, Look::neutral(), edge, sampleEdge);
        ASSERT_TRUE(decoded && decoded->sample) << edge;
        ASSERT_EQ(decoded->sample->extent(), own->image.extent()) << edge;
        EXPECT_EQ(cv::norm(decoded->sample->mat(), own->image.mat(), cv::NORM_INF), 0.0) << edge;
    }
    EXPECT_FALSE(decode(crw, Look::neutral(), 1600, sampleEdge)->sample);           // full-size demosaic
    EXPECT_FALSE(decode(crw, lookWith(800, std::nullopt), 640, sampleEdge)->sample);  // not as shot
}

TEST(DecodeRaw, OrientationIsApplied) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25, 6);
    const auto decoded = decode(*dng, Look::neutral(), 0);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->image.width(), 120);
    EXPECT_EQ(decoded->image.height(), 160);
}

TEST(DecodeRaw, ColoursFollowTheSceneAndHighlightsKeepHeadroom) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);
    const auto decoded = decode(*dng, Look::neutral(), 0);
    const auto original = decodeRendered(TestSupport::fixture(sampleJPEG), Look::neutral(), 160);
    ASSERT_TRUE(decoded);
    ASSERT_TRUE(original);
    // The as-shot balance of the camera's D65 neutral gives back the colours the DNG was made from.
    const cv::Scalar raw = cv::mean(decoded->image.mat()), jpeg = cv::mean(original->image.mat());
    EXPECT_NEAR(raw[0] / raw[1], jpeg[0] / jpeg[1], 0.05 * jpeg[0] / jpeg[1]);
    EXPECT_NEAR(raw[2] / raw[1], jpeg[2] / jpeg[1], 0.05 * jpeg[2] / jpeg[1]);
    double top = 0;
    cv::minMaxLoc(decoded->image.mat().reshape(1), nullptr, &top);
    EXPECT_GT(top, 1.0) << "the decode is raised a stop; bright parts exceed 1.0";
}

TEST(DecodeRaw, WhiteBalanceOffsetsAndClamps) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);
    const auto shot = decode(*dng, lookWith(0.0, std::nullopt), 0);
    const auto none = decode(*dng, Look::neutral(), 0);
    ASSERT_TRUE(shot && none);
    EXPECT_EQ(meanDifference(shot->image, none->image), 0.0) << "temperature 0 is as shot";

    const auto warmer = decode(*dng, lookWith(2000.0, std::nullopt), 0);
    ASSERT_TRUE(warmer);
    const cv::Scalar a = cv::mean(none->image.mat()), b = cv::mean(warmer->image.mat());
    EXPECT_GT(b[0] / b[2], a[0] / a[2]) << "a higher temperature warms the picture";
    EXPECT_EQ(*warmer->cameraTemperature, *none->cameraTemperature) << "the as-shot value is reported unchanged";

    // Beyond the limits the neutral is held at 50000 K / 2000 K and ±150 tint.
    struct Pair {
        Look a, b;
    };
    for (const auto& [a1, b1] : {Pair{lookWith(200000.0, {}), lookWith(100000.0, {})},
                                 Pair{lookWith(-9000.0, {}), lookWith(-20000.0, {})},
                                 Pair{lookWith({}, 500.0), lookWith({}, 900.0)}}) {
        const auto x = decode(*dng, a1, 0), y = decode(*dng, b1, 0);
        ASSERT_TRUE(x && y);
        EXPECT_LT(meanDifference(x->image, y->image), 1e-6);
    }
}

TEST(DecodeRaw, LiveDecodeApproximatesTheFullDecode) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);
    const auto full = decode(*dng, lookWith(1500.0, 10.0), 0);
    const auto live = liveDecode(*dng, lookWith(1500.0, 10.0), 0);
    ASSERT_TRUE(full && live);
    EXPECT_TRUE(live->extended);
    EXPECT_EQ(live->cameraTemperature, full->cameraTemperature);
    const cv::Scalar a = cv::mean(full->image.mat()), b = cv::mean(live->image.mat());
    EXPECT_NEAR(b[0] / b[2], a[0] / a[2], 0.15 * a[0] / a[2]);
}

TEST(DecodeCache, KeepsTheTwoNewestInsertions) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);
    const std::string path = dng->string();
    const DecodeKey first{path, 101, 0, 0}, second{path, 102, 0, 0}, third{path, 103, 0, 0};
    ASSERT_TRUE(decodeForEditing(*dng, Look::neutral(), 101));
    ASSERT_TRUE(decodeForEditing(*dng, Look::neutral(), 102));
    ASSERT_TRUE(decodeForEditing(*dng, Look::neutral(), 101));  // a hit does not refresh the entry
    EXPECT_TRUE(decodeCached(first));
    ASSERT_TRUE(decodeForEditing(*dng, Look::neutral(), 103));
    EXPECT_FALSE(decodeCached(first)) << "the first insertion goes first";
    EXPECT_TRUE(decodeCached(second));
    EXPECT_TRUE(decodeCached(third));
    EXPECT_EQ(decodeCacheSize(), 2u);
    // Keys differ by white balance too.
    EXPECT_FALSE(decodeCached({path, 103, 100, 0}));
}

TEST(DecodeCache, ConcurrentDecodesOfSameAndDifferentKeys) {
    REQUIRE_SAMPLE_DNG(dng, sampleJPEG, 0.25);
    std::vector<std::thread> threads;
    std::atomic<int> decoded{0};
    for (int i = 0; i < 6; ++i)
        threads.emplace_back([&, i] {
            for (int round = 0; round < 3; ++round) {
                const Look look = lookWith(i % 2 ? 500.0 : 0.0, {});
                if (decodeForEditing(*dng, look, 80 + (i + round) % 3)) ++decoded;
                if (liveDecode(*dng, lookWith(300.0 * i, {}), 80)) ++decoded;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(decoded.load(), 36);
    EXPECT_LE(decodeCacheSize(), 2u);
}

TEST(DecodeBadFiles, EndInNothingNotACrash) {
    REQUIRE_FIXTURES();
    TestSupport::TempDir dir;
    const auto garbage = dir / "noise.dng";
    std::string bytes(4096, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 7919) ^ (i >> 3));
    TestSupport::writeFile(garbage, bytes);
    TestSupport::writeFile(dir / "empty.nef", "");
    for (const auto& file : {garbage, dir / "empty.nef", dir / "missing.cr2", dir / "missing.jpg"})
        EXPECT_FALSE(decode(file, Look::neutral(), 100)) << file;
    // Truncated camera files: whatever LibRaw makes of them, no crash and no hang.
    for (const char* name : {"raw/partial/imagemeta_NikonD7100_truncated.nef", "raw/partial/exiv2_IMG_1361.dng",
                             "raw/partial/exifpy_SonyA7III_header.arw"}) {
        const auto result = decode(TestSupport::fixture(name), Look::neutral(), 200);
        if (result) {
            EXPECT_FALSE(result->image.empty()) << name;
        }
    }
}

TEST(DecodeRendered, ScalesAndReportsNoCameraBalance) {
    REQUIRE_FIXTURES();
    const auto decoded = decode(TestSupport::fixture(sampleJPEG), Look::neutral(), 320);
    ASSERT_TRUE(decoded);
    EXPECT_FALSE(decoded->extended);
    EXPECT_FALSE(decoded->cameraTemperature);
    EXPECT_FALSE(decoded->cameraTint);
    EXPECT_EQ(decoded->image.width(), 320);
    EXPECT_EQ(decoded->image.height(), 240);
    EXPECT_NEAR(decoded->detailScale, 0.5, 1e-6);
    EXPECT_LT(decoded->detailScale, 0.5);
    // Temperature 0 leaves the picture unfiltered; a positive one warms it.
    const auto zero = decode(TestSupport::fixture(sampleJPEG), lookWith(0.0, {}), 320);
    EXPECT_EQ(meanDifference(zero->image, decoded->image), 0.0);
    const auto warm = decode(TestSupport::fixture(sampleJPEG), lookWith(1500.0, {}), 320);
    const cv::Scalar a = cv::mean(decoded->image.mat()), b = cv::mean(warm->image.mat());
    EXPECT_GT(b[0] / b[2], a[0] / a[2]);
}
