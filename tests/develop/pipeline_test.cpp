// The develop stages, the highlight roll-off and crop and straighten.

#include <cmath>

#include <gtest/gtest.h>

#include "engine/develop/apply.h"
#include "engine/develop/crop.h"

using namespace Develop;
using Imaging::Image;
using Imaging::Pixel;
using Imaging::Rect;

namespace {

Image columns(int width, int height) {
    return Imaging::generate(Rect{0, 0, width, height}, [](int x, int y) { return Pixel{float(x), float(y), 0, 1}; });
}

Look lookOf(const char* json) { return *decodeLook(nlohmann::json::parse(json)); }

}  // namespace

TEST(HighlightRolloff, NumbersOfTheKnee) {
    struct Case {
        const char* look;
        bool extended, profile;
        bool runs;
        float knee, ceiling, gain;
    };
    const Case cases[] = {
        {"{}", true, false, true, 0.92f, 1.0f, 1.0f},
        {"{}", false, false, false, 0.92f, 1.0f, 1.0f},
        {R"({"highlights": -100})", true, false, true, 0.45f, 0.72f, 0.6f},
        {R"({"highlights": -100})", false, false, true, 0.45f, 0.72f, 0.6f},
        {R"({"highlights": 50})", true, false, true, 0.92f, 1.0f, 1.3f},
        {R"({"highlights": 400})", true, false, true, 0.92f, 1.0f, 1.6f},
        {R"({"exposure": 2})", false, false, true, 0.23f, 1.0f, 1.0f},
        {R"({"exposure": 2})", true, true, true, 0.92f, 1.0f, 1.0f},
        {R"({"exposure": 7})", false, false, true, 0.04f, 1.0f, 1.0f},
        {R"({"exposure": -1})", false, false, false, 0.92f, 1.0f, 1.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.look) + (c.extended ? " raw" : "") + (c.profile ? " profile" : ""));
        const Look look = lookOf(c.look);
        EXPECT_EQ(rolloffRuns(look, c.extended), c.runs);
        const Rolloff r = rolloffFor(look, c.profile);
        EXPECT_NEAR(r.knee, c.knee, 1e-6);
        EXPECT_NEAR(r.ceiling, c.ceiling, 1e-6);
        EXPECT_NEAR(r.gain, c.gain, 1e-6);
    }
}

TEST(HighlightRolloff, CompressesAboveTheKneeOnly) {
    const Rolloff r{0.45f, 0.72f, 0.6f};
    const Pixel dark{0.3f, 0.2f, 0.1f, 0.7f};
    const Pixel same = highlightRolloff(dark, r);
    EXPECT_EQ(same.r, dark.r);
    EXPECT_EQ(same.a, dark.a);
    float previous = 0;
    for (float v : {0.5f, 0.8f, 1.2f, 1.6f}) {
        const Pixel out = highlightRolloff({v, v, v, 1}, r);
        EXPECT_GT(out.r, previous) << "monotonic";
        EXPECT_LT(out.r, r.ceiling) << "stays under the ceiling";
        EXPECT_FLOAT_EQ(out.r, out.b) << "grey stays grey";
        previous = out.r;
    }
    EXPECT_LE(highlightRolloff({100, 100, 100, 1}, r).r, r.ceiling);
    // A saturated highlight is pulled towards grey so that no channel stands out above the bent peak.
    const Pixel red = highlightRolloff({3.0f, 0.2f, 0.2f, 1}, r);
    EXPECT_LE(red.r, r.ceiling + 1e-6f);
    EXPECT_GT(red.r, red.g);
}

TEST(DevelopApply, EmptyLookOnARenderedPictureChangesNothing) {
    const Image image = Imaging::generate(Rect{0, 0, 16, 9}, [](int x, int y) {
        return Pixel{x / 16.0f, y / 90.0f, 0.1f, 1};
    });
    const Image out = apply(Look::neutral(), image, ApplyOptions{});
    EXPECT_LT(cv::norm(out.mat(), image.mat(), cv::NORM_INF), 1e-5);
    // Exposure works on linear values; a RAW picture gets the roll-off.
    const Image brighter = apply(lookOf(R"({"exposure": 1})"), image, ApplyOptions{});
    EXPECT_NEAR(Imaging::sample(brighter, 2, 0).r, 0.25f, 1e-5) << "below the knee (0.46 at +1 EV)";
    EXPECT_LT(Imaging::sample(brighter, 8, 0).r, 1.0f) << "0.5 · 2 is bent under the roll-off";
    ApplyOptions raw;
    raw.extended = true;
    const Image rolled = apply(Look::neutral(), Image::filled(Rect{0, 0, 2, 2}, {2, 2, 2, 1}), raw);
    EXPECT_LT(Imaging::sample(rolled, 0, 0).r, 1.0f);
    EXPECT_GT(Imaging::sample(rolled, 0, 0).r, 0.92f);
}

TEST(DevelopApply, ColourRangeSuffixNumbers) {
    EXPECT_EQ(shortestDecimal(0), "0.0");
    EXPECT_EQ(shortestDecimal(35), "35.0");
    EXPECT_EQ(shortestDecimal(12.5), "12.5");
    EXPECT_EQ(shortestDecimal(0.1), "0.1");
    EXPECT_EQ(shortestDecimal(1715939327.25), "1715939327.25");
}

TEST(CropFrame, ActiveOnlyWhenItChangesSomething) {
    struct Case {
        Crop::Frame frame;
        bool active;
    };
    const Case cases[] = {
        {{0, 0, 1, 1, std::nullopt}, false}, {{0, 0, 1, 1, 0.0005}, false}, {{0.00005, 0, 1, 1, std::nullopt}, false},
        {{0, 0, 1, 1, 0.01}, true},          {{0.1, 0, 1, 1, std::nullopt}, true}, {{0, 0, 1, 0.99, std::nullopt}, true},
    };
    for (const auto& c : cases) EXPECT_EQ(c.frame.isActive(), c.active) << c.frame.left << " " << c.frame.bottom;
    EXPECT_EQ((Crop::Frame{0, 0, 1, 1, std::nullopt}), (Crop::Frame{0, 0, 1, 1, std::nullopt}));
    EXPECT_NE((Crop::Frame{0, 0, 1, 1, std::nullopt}), (Crop::Frame{0, 0, 1, 1, 0.0}));
}

TEST(CropApply, Geometry) {
    struct Case {
        const char* name;
        int width, height;
        Crop::Frame frame;
        int outWidth, outHeight;
        float firstColumn, topRow;  // picture column and row of the top-left output pixel
    };
    const Case cases[] = {
        {"fractions", 1000, 800, {0.1, 0.2, 0.6, 0.9, std::nullopt}, 500, 560, 100, 639},
        {"widened to whole pixels", 1001, 10, {0.5, 0, 1, 1, std::nullopt}, 501, 10, 500, 9},
        {"edges clamped", 200, 100, {-0.2, 0.5, 1.3, 1, std::nullopt}, 200, 50, 0, 49},
        {"tiny angle only crops", 100, 100, {0.1, 0.1, 0.9, 0.9, 0.0005}, 80, 80, 10, 89},
        {"inverted frame is ignored", 100, 80, {0.6, 0, 0.4, 1, std::nullopt}, 100, 80, 0, 79},
        {"inactive frame", 100, 80, {0, 0, 1, 1, std::nullopt}, 100, 80, 0, 79},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Image out = Crop::apply(c.frame, columns(c.width, c.height));
        EXPECT_EQ(out.width(), c.outWidth);
        EXPECT_EQ(out.height(), c.outHeight);
        EXPECT_EQ(out.extent().x, 0);
        EXPECT_EQ(out.extent().y, 0);
        EXPECT_FLOAT_EQ(out.at(0, 0).r, c.firstColumn);
        EXPECT_FLOAT_EQ(out.at(0, 0).g, c.topRow);
    }
}

TEST(CropApply, StraightenRotatesAboutTheCentreAndClampsTheAngle) {
    const Image image = columns(101, 101);
    const Image a45 = Crop::apply(Crop::Frame{0.2, 0.2, 0.8, 0.8, 45.0}, image);
    const Image a60 = Crop::apply(Crop::Frame{0.2, 0.2, 0.8, 0.8, 60.0}, image);
    ASSERT_EQ(a45.width(), 61);
    EXPECT_EQ(cv::norm(a45.mat(), a60.mat(), cv::NORM_INF), 0.0) << "angles beyond 45 degrees count as 45";
    // A positive angle turns the picture clockwise: what is now left of the centre came from below it.
    const Image turned = Crop::apply(Crop::Frame{0.01, 0.01, 0.99, 0.99, 10.0}, image);
    const Pixel centre = Imaging::sample(turned, turned.width() / 2, turned.height() / 2);
    EXPECT_NEAR(centre.r, 50.0f, 1.0f);
    EXPECT_NEAR(centre.g, 50.0f, 1.0f);
    const Pixel left = Imaging::sample(turned, 10, turned.height() / 2);
    EXPECT_LT(left.g, 50.0f - 5.0f);
}
