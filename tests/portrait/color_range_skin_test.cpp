// Colour-range skin selection: the per-pixel formulas, the selection's rules
// on generated pictures with scripted faces, and the selection on real
// portraits with the real segmentation network and face detector.

#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include <opencv2/imgproc.hpp>

#include "engine/imaging/image.h"
#include "engine/portrait/color_range_skin.h"
#include "engine/vision/faces.h"
#include "engine/vision/person_segmentation.h"
#include "support/support.h"
#include "vision/face_pictures.h"

namespace {

using ColorRangeSkin::SkinVector;

// A colour with the given skin vector components' luma and chroma (inverse BT.601).
Imaging::Pixel fromYcc(double y, double cb, double cr) {
    return {float(y + 1.402 * cr), float(y - 0.344136 * cb - 0.714136 * cr), float(y + 1.772 * cb), 1};
}

double meanIn(const cv::Mat& plane, const cv::Mat& where) { return cv::mean(plane, where)[0]; }

// A flat skin-coloured photo (the skin vector `skin`) with a darker backdrop
// outside the central person rectangle; the person mask covers that rectangle.
struct Scene {
    Imaging::Image image;
    Imaging::Bitmap person;
};

Scene scene(int W, int H, const SkinVector& skin) {
    const Imaging::Pixel s = fromYcc(skin.y, skin.cb, skin.cr);
    Imaging::Image image = Imaging::Image::filled({0, 0, W, H}, s);
    Imaging::Bitmap person(W, H, 1);
    std::fill(person.pixels.begin(), person.pixels.end(), 255);
    return {image, person};
}

Vision::FaceObservation box(double x, double y, double w, double h, float confidence = 0.95f) {
    Vision::FaceObservation f;
    f.boundingBox = {x, y, w, h};
    f.confidence = confidence;
    return f;
}

ColorRangeSkin::Analyser scripted(const Scene& s, std::vector<Vision::FaceObservation> faces) {
    return [person = s.person, faces](const Imaging::Bitmap&) {
        return ColorRangeSkin::Analysis{person, faces};
    };
}

// The stored-row rectangle of a face box's central part (picture coordinates in, rows top-down out).
cv::Rect centre(const Vision::Rect& b, int W, int H, double share = 0.3) {
    const double x = W * (b.x + b.width * (0.5 - share / 2)), y = H * (b.y + b.height * (0.5 - share / 2));
    const double w = W * b.width * share, h = H * b.height * share;
    return cv::Rect(int(x), int(H - y - h), int(w), int(h));
}

}  // namespace

TEST(ColorRangeSkinFormulas, SkinRangeAndNotDark) {
    const SkinVector skin = ColorRangeSkin::skinVector(0.8, 0.6, 0.5);
    const double kc = std::hypot(skin.cb, skin.cr);
    const double ub = skin.cb / kc, ur = skin.cr / kc;
    struct Case {
        const char* name;
        Imaging::Pixel pixel;
        float person;
        float low, high;
    };
    const auto chromaAt = [&](double y, double relativeColour) { return relativeColour * kc / skin.y * y; };
    const double yHair = 0.29 * skin.y, cHair = chromaAt(yHair, 1.0);
    const double yShine = 1.25 * skin.y, cShine = std::max(chromaAt(yShine, 0.8), 0.0125);
    for (const Case& c : {
             Case{"the skin itself", fromYcc(skin.y, skin.cb, skin.cr), 1, 0.999f, 1},
             Case{"the skin outside the person", fromYcc(skin.y, skin.cb, skin.cr), 0, 0, 0},
             Case{"half a person", fromYcc(skin.y, skin.cb, skin.cr), 0.5f, 0.499f, 0.501f},
             Case{"brown hair below 30% of the skin luma", fromYcc(yHair, cHair * ub, cHair * ur), 1, 0, 0},
             Case{"a pale highlight", fromYcc(yShine, cShine * ub, cShine * ur), 1, 0.999f, 1},
             Case{"a neutral white highlight", fromYcc(yShine, 0.003 * ub, 0.003 * ur), 1, 0, 0},
             Case{"an opposite hue", fromYcc(skin.y, -skin.cb, -skin.cr), 1, 0, 0},
             Case{"a garish colour of the skin's hue (clipped to the gamut)", fromYcc(skin.y, 3 * skin.cb, 3 * skin.cr), 1, 0, 0.01f},
         }) {
        SCOPED_TRACE(c.name);
        const float w = ColorRangeSkin::skinRange(c.pixel, c.person, skin);
        EXPECT_GE(w, c.low);
        EXPECT_LE(w, c.high);
    }
    const Imaging::Pixel grey{0.2f, 0.2f, 0.2f, 1};
    EXPECT_EQ(ColorRangeSkin::notDark(grey, 0.7f, 0.6f), 0.0f);            // 33% of the skin luma
    EXPECT_NEAR(ColorRangeSkin::notDark({0.4f, 0.4f, 0.4f, 1}, 0.7f, 0.6f), 0.7f, 1e-6);  // 67%
    EXPECT_NEAR(ColorRangeSkin::notDark({0.4f, 0.4f, 0.4f, 1}, 1.5f, 0.6f), 1.0f, 1e-6);  // mask clamped
}

TEST(ColorRangeSkin, ExtentNotAtTheOriginOrEmptyFails) {
    const auto never = [](const Imaging::Bitmap&) -> ColorRangeSkin::Analysis {
        ADD_FAILURE() << "analysed";
        return {};
    };
    for (const Imaging::Image& image : {Imaging::Image::filled({5, 0, 50, 40}, {0.5f, 0.4f, 0.3f, 1}),
                                        Imaging::Image::filled({0, -3, 50, 40}, {0.5f, 0.4f, 0.3f, 1}),
                                        Imaging::Image()}) {
        try {
            ColorRangeSkin::make(image, never);
            ADD_FAILURE() << "no failure";
        } catch (const ColorRangeSkin::Failure& e) {
            EXPECT_STREQ(e.what(), "Color-range skin needs a finite photo");
        }
    }
}

TEST(ColorRangeSkin, WithoutAConfidentFaceNothingIsSelected) {
    const Scene s = scene(300, 200, {-0.05, 0.08, 0.6});
    const auto r = ColorRangeSkin::make(s.image, scripted(s, {box(0.3, 0.3, 0.3, 0.4, 0.5f)}));
    EXPECT_DOUBLE_EQ(r.skinLuma, 0.55);
    EXPECT_TRUE(r.regions.empty());
    EXPECT_TRUE(r.faces.empty());
    EXPECT_EQ(cv::countNonZero(r.mask), 0);
    EXPECT_EQ(cv::countNonZero(r.spotMask), 0);
    EXPECT_EQ(r.mask.rows, 200);
    EXPECT_EQ(r.mask.cols, 300);
}

TEST(ColorRangeSkin, AnalysisCopyIsAtMost1024PixelsLong) {
    const Scene s = scene(2400, 1000, {-0.05, 0.08, 0.6});
    int width = 0, height = 0;
    ColorRangeSkin::make(s.image, [&](const Imaging::Bitmap& copy) {
        width = copy.width;
        height = copy.height;
        return ColorRangeSkin::Analysis{};
    });
    EXPECT_EQ(width, 1024);
    EXPECT_EQ(height, 426);
}

TEST(ColorRangeSkin, FacesAreRetouchedWidestFirstAndTheWiderKeepsTheOverlap) {
    const int W = 800, H = 600;
    const SkinVector skin{-0.05, 0.08, 0.6};
    const Scene s = scene(W, H, skin);
    const auto narrow = box(0.45, 0.3, 0.2, 0.3);  // listed first
    const auto wide = box(0.2, 0.3, 0.3, 0.4);
    const auto r = ColorRangeSkin::make(s.image, scripted(s, {narrow, wide}));
    ASSERT_EQ(r.regions.size(), 2u);
    EXPECT_DOUBLE_EQ(r.faces[0].boundingBox.width, 0.3);
    EXPECT_DOUBLE_EQ(r.regions[0].faceWidth, 0.3 * W);
    EXPECT_NEAR(r.skinLuma, skin.y, 0.01);
    // The overlap of both boxes belongs to the wider face only.
    const cv::Rect overlap(int(0.46 * W), int(H - 0.6 * H), int(0.03 * W), int(0.2 * H));
    EXPECT_GT(cv::mean(r.regions[0].mask(overlap))[0], 0.9);
    EXPECT_LT(cv::mean(r.regions[1].mask(overlap))[0], 0.1);
    // The narrower face keeps the rest of its own shape.
    EXPECT_GT(cv::mean(r.regions[1].mask(cv::Rect(int(0.58 * W), int(H - 0.5 * H), 20, 20)))[0], 0.9);
    // Bounds: the shape grown by 10% of the face width; spot bounds cut 22% of
    // the face-box height above the box.
    const auto& b0 = r.regions[0];
    EXPECT_GE(b0.bounds.x, 0);
    EXPECT_LE(b0.bounds.x, int(0.2 * W - 0.08 * 0.3 * W - 0.1 * 0.3 * W) + 1);
    EXPECT_EQ(b0.spotBounds.y, b0.bounds.y);
    EXPECT_NEAR(b0.spotBounds.maxY(), H * (0.7 + 0.22 * 0.4), 1.0);
    EXPECT_GT(b0.bounds.maxY(), b0.spotBounds.maxY());
}

TEST(ColorRangeSkin, NarrowFacesAndFacesBeyondTheTwelveWidestGetNoRegion) {
    const int W = 1400, H = 400;
    const Scene s = scene(W, H, {-0.05, 0.08, 0.6});
    std::vector<Vision::FaceObservation> faces;
    // 13 faces of 60 to 84 px, and one of 31 px.
    for (int i = 0; i < 13; ++i) faces.push_back(box((10 + 105.0 * i) / W, 0.3, (60.0 + 2 * i) / W, 0.3));
    const auto small = box(1375.0 / W, 0.1, 31.0 / W, 0.1);
    faces.push_back(small);
    const auto r = ColorRangeSkin::make(s.image, scripted(s, faces));
    ASSERT_EQ(r.regions.size(), 12u);
    for (const auto& f : r.faces) EXPECT_GT(f.boundingBox.width * W, 61.9);  // the 60 px face is the 13th widest
    EXPECT_LT(cv::mean(r.mask(centre(faces[0].boundingBox, W, H)))[0], 0.01);
    EXPECT_EQ(cv::mean(r.mask(centre(small.boundingBox, W, H)))[0], 0.0);
    EXPECT_GT(cv::mean(r.mask(centre(faces[12].boundingBox, W, H)))[0], 0.9);
}

TEST(ColorRangeSkin, AFaceWhoseSampleFallsOutsideThePhotoStillGetsARegion) {
    const int W = 600, H = 400;
    const Scene s = scene(W, H, {-0.05, 0.08, 0.6});
    // A face cut by the bottom edge: its sample rectangle lies below the photo.
    const auto cut = box(0.3, -0.5, 0.3, 0.55);
    const auto r = ColorRangeSkin::make(s.image, scripted(s, {cut}));
    ASSERT_EQ(r.regions.size(), 1u);
    EXPECT_DOUBLE_EQ(r.skinLuma, 0.55);  // no sample: the fallback skin
}

TEST(ColorRangeSkin, OutsideThePersonNothingIsSkin) {
    const int W = 400, H = 400;
    Scene s = scene(W, H, {-0.05, 0.08, 0.6});
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W / 2; ++x) s.person.row(y)[x] = 0;  // the left half is background
    const auto f = box(0.25, 0.25, 0.5, 0.5);
    const auto r = ColorRangeSkin::make(s.image, scripted(s, {f}));
    ASSERT_EQ(r.regions.size(), 1u);
    EXPECT_LT(cv::mean(r.mask(cv::Rect(110, 150, 60, 100)))[0], 0.01);
    EXPECT_GT(cv::mean(r.mask(cv::Rect(230, 150, 60, 100)))[0], 0.9);
}

TEST(ColorRangeSkin, MissingSegmentationModelFailsWithItsMessage) {
    TestSupport::TempDir dir;
    FacePictures::ScopedEnv env(PersonSegmentation::environmentVariable, (dir.path() / "selfie.json").string());
    const Scene s = scene(200, 200, {-0.05, 0.08, 0.6});
    try {
        ColorRangeSkin::make(s.image);
        ADD_FAILURE() << "no failure";
    } catch (const Vision::Unavailable& e) {
        EXPECT_STREQ(e.what(), "Person segmentation model is missing.");
    }
}

// ---- real portraits

namespace {

// A filled polygon of a landmark region, as a stored-row mask.
cv::Mat regionMask(const Vision::FaceObservation& f, const std::vector<Vision::Point>& points, int W, int H) {
    cv::Mat m = cv::Mat::zeros(H, W, CV_8U);
    std::vector<cv::Point> poly;
    for (const auto& p : points) {
        const double x = W * (f.boundingBox.x + p.x * f.boundingBox.width);
        const double y = H * (f.boundingBox.y + p.y * f.boundingBox.height);
        poly.emplace_back(int(std::lround(x)), int(std::lround(H - y)));
    }
    if (poly.size() >= 3) cv::fillPoly(m, std::vector<std::vector<cv::Point>>{poly}, 255);
    return m;
}

}  // namespace

TEST(ColorRangeSkinPortraits, SelectsSkinAndSparesFeaturesAndBackground) {
    if (!TestSupport::fixturesDir()) GTEST_SKIP() << "no shared fixtures";
    ASSERT_TRUE(PersonSegmentation::locate()) << "the person segmentation model is missing (scripts/fetch-selfie)";
    struct Case {
        const char* name;
        std::size_t faces;
    };
    for (const Case& c : {Case{"portraits/webmorph_london008_westasian_man_smile.jpg", 1},
                          Case{"portraits/webmorph_london030_eastasian_woman_smile.jpg", 1},
                          Case{"portraits/webmorph_lisa_closeup_15cm.jpg", 1},
                          Case{"portraits/singnet_laos_two_girls.jpg", 2},
                          Case{"portraits/singnet_model_face_retouched_hand.jpg", 1}}) {
        SCOPED_TRACE(c.name);
        const cv::Mat bgr = FacePictures::load(c.name);
        const Imaging::Image image = Imaging::fromBitmap(FacePictures::bitmap(bgr));
        const int W = image.width(), H = image.height();
        const ColorRangeSkin::Result r = ColorRangeSkin::make(image);
        ASSERT_EQ(r.regions.size(), c.faces);
        for (const auto& f : r.faces) {
            const auto sample = ColorRangeSkin::sampleRectangle(f.boundingBox, W, H);
            const cv::Rect rows(int(sample.x), int(H - sample.y - sample.height), int(sample.width), int(sample.height));
            const cv::Rect inside = rows & cv::Rect(0, 0, W, H);
            EXPECT_GE(cv::mean(r.mask(inside))[0], 0.8);
            ASSERT_TRUE(f.landmarks);
            const auto& l = *f.landmarks;
            for (const auto* points : {&l.leftEye, &l.rightEye, &l.leftEyebrow, &l.rightEyebrow, &l.outerLips}) {
                const cv::Mat where = regionMask(f, *points, W, H);
                if (cv::countNonZero(where)) {
                    EXPECT_LE(meanIn(r.mask, where), 0.1);
                }
            }
        }
        // Outside the person (the segmentation's own mask, well clear of its edge).
        const Imaging::Bitmap person = PersonSegmentation::segment(FacePictures::bitmap(bgr));
        cv::Mat small(256, 256, CV_8U, const_cast<std::uint8_t*>(person.pixels.data())), big;
        cv::resize(small, big, cv::Size(W, H), 0, 0, cv::INTER_LINEAR);
        cv::Mat outside = big < 13;
        cv::erode(outside, outside, cv::Mat::ones(15, 15, CV_8U));
        if (cv::countNonZero(outside)) {
            EXPECT_LE(meanIn(r.mask, outside), 0.02);
        }
        if (c.faces == 2) {
            // Two people: the wider face's shape keeps any overlap.
            cv::Mat both;
            cv::min(r.regions[0].mask, r.regions[1].mask, both);
            double top;
            cv::minMaxLoc(both, nullptr, &top);
            EXPECT_LT(top, 0.5);
        }
    }
}

TEST(ColorRangeSkin, ConcurrentCallsAgree) {
    const int W = 600, H = 400;
    const Scene s = scene(W, H, {-0.05, 0.08, 0.6});
    const auto analyser = scripted(s, {box(0.2, 0.3, 0.3, 0.4), box(0.55, 0.3, 0.2, 0.3)});
    const auto expected = ColorRangeSkin::make(s.image, analyser);
    std::vector<ColorRangeSkin::Result> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back([&] { r = ColorRangeSkin::make(s.image, analyser); });
    for (auto& t : threads) t.join();
    for (const auto& r : results) {
        ASSERT_EQ(r.regions.size(), expected.regions.size());
        EXPECT_EQ(cv::norm(r.mask, expected.mask, cv::NORM_INF), 0.0);
        EXPECT_EQ(cv::norm(r.spotMask, expected.spotMask, cv::NORM_INF), 0.0);
    }
}
