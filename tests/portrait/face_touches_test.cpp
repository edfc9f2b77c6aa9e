// Face touches: the four kernels on chosen colours, the skipping rules for
// small, closed eyes and mouths on a generated face, and the touches on a real
// portrait with its detected landmarks and a mask made from the face box.
#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/image.h"
#include "engine/portrait/face_touches.h"
#include "engine/vision/faces.h"
#include "support/support.h"
#include "vision/face_pictures.h"

namespace {

using FaceTouches::Amounts;
using FaceTouches::Ycc;
using Imaging::Image;
using Imaging::Pixel;
using Imaging::Rect;
namespace K = FaceTouches::Kernels;

Pixel rgb(float y, float cb, float cr) { return FaceTouches::toRgb({y, cb, cr}, 1); }

bool same(const Pixel& a, const Pixel& b) { return a.r == b.r && a.g == b.g && a.b == b.b && a.a == b.a; }

TEST(FaceTouchKernels, Formulas) {
    const Pixel skin = rgb(0.5f, -0.05f, 0.06f);
    struct Case {
        const char* name;
        Pixel got;
        std::optional<Ycc> expected;  // nothing: bit for bit the input
        Pixel input;
    };
    const Pixel flatBroad = rgb(0.5f, -0.05f, 0.06f);
    const std::vector<Case> cases = {
        {"blotch 0.1 is corrected by 0.03",
         K::evenColor(skin, rgb(0.5f, 0.05f, 0.06f), 1, flatBroad, 1, 1, 1), Ycc{0.5f, -0.08f, 0.06f}, skin},
        {"blotch 0.02 is removed entirely",
         K::evenColor(skin, rgb(0.5f, -0.03f, 0.06f), 1, flatBroad, 1, 1, 1), Ycc{0.5f, -0.07f, 0.06f}, skin},
        {"mask 0.1 gets 1 % of the strength",
         K::evenColor(skin, rgb(0.5f, -0.03f, 0.06f), 1, flatBroad, 1, 0.1f, 1), Ycc{0.5f, -0.0502f, 0.06f}, skin},
        {"sums are normalised by their weights",
         K::evenColor(skin, rgb(0.25f, -0.015f, 0.03f), 0.5f, flatBroad, 1, 1, 1), Ycc{0.5f, -0.07f, 0.06f}, skin},
        {"thin broad weight: untouched", K::evenColor(skin, rgb(0.5f, 0.05f, 0.06f), 1, flatBroad, 0.049f, 1, 1),
         std::nullopt, skin},
        {"amount 0: untouched", K::evenColor(skin, rgb(0.5f, 0.05f, 0.06f), 1, flatBroad, 1, 1, 0), std::nullopt, skin},
        {"under-eye lifted by at most 35 %, chroma towards the cheek",
         K::underEye(rgb(0.4f, 0.0f, 0.02f), rgb(0.4f, 0.0f, 0.02f), 1, Ycc{0.6f, -0.02f, 0.05f}, 1),
         Ycc{0.54f, -0.02f, 0.05f}, rgb(0.4f, 0, 0.02f)},
        {"half band, half the lift",
         K::underEye(rgb(0.4f, 0.0f, 0.02f), rgb(0.4f, 0.0f, 0.02f), 0.5f, Ycc{0.44f, -0.02f, 0.05f}, 1),
         Ycc{0.42f, -0.01f, 0.035f}, rgb(0.4f, 0, 0.02f)},
        {"already as bright as the cheek (gain 1): colour kept",
         K::underEye(rgb(0.6f, 0.0f, 0.02f), rgb(0.6f, 0.0f, 0.02f), 1, Ycc{0.55f, -0.02f, 0.05f}, 1),
         Ycc{0.6f, 0.0f, 0.02f}, rgb(0.6f, 0, 0.02f)},
        {"no band: untouched", K::underEye(skin, skin, 0.00009f, Ycc{0.9f, 0, 0}, 1), std::nullopt, skin},
        {"sclera: neutral, brightened up to 1.6 × skin luma",
         K::eyeWhite(rgb(0.7f, 0.02f, 0.01f), 1, 1, 0.5f), Ycc{0.8f, 0.004f, 0.002f}, rgb(0.7f, 0.02f, 0.01f)},
        {"sclera: at most 18 % brighter", K::eyeWhite(rgb(0.6f, 0, 0), 1, 1, 0.5f), Ycc{0.708f, 0, 0}, rgb(0.6f, 0, 0)},
        {"coloured iris or skin: untouched", K::eyeWhite(rgb(0.6f, 0.2f, 0.2f), 1, 1, 0.5f), std::nullopt,
         rgb(0.6f, 0.2f, 0.2f)},
        {"dark pixel: untouched", K::eyeWhite(rgb(0.15f, 0, 0), 1, 1, 0.5f), std::nullopt, rgb(0.15f, 0, 0)},
        {"yellow teeth: 55 % less colour, 8 % brighter",
         K::teeth(rgb(0.7f, -0.06f, 0.02f), 1, 1, 0.5f), Ycc{0.756f, -0.027f, 0.009f}, rgb(0.7f, -0.06f, 0.02f)},
        {"teeth never above 0.92", K::teeth(rgb(0.9f, 0, 0), 1, 1, 0.5f), Ycc{0.92f, 0, 0}, rgb(0.9f, 0, 0)},
        {"red lips: untouched", K::teeth(rgb(0.5f, -0.1f, 0.25f), 1, 1, 0.5f), std::nullopt, rgb(0.5f, -0.1f, 0.25f)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.expected) {
            EXPECT_TRUE(same(c.got, c.input));
            continue;
        }
        const Ycc got = FaceTouches::toYcc(c.got);
        EXPECT_NEAR(got.y, c.expected->y, 2e-6f);
        EXPECT_NEAR(got.cb, c.expected->cb, 2e-6f);
        EXPECT_NEAR(got.cr, c.expected->cr, 2e-6f);
        EXPECT_EQ(c.got.a, 1.0f);
    }
}

// A generated face: a grey-pink picture, a mask over everything, one face box
// covering the picture with an eye of the given size at (ex, ey) in pixels and
// a mouth, and a light neutral sclera, a yellowish mouth and a dark band under
// the eye painted in.
struct Scene {
    Image picture;
    FaceTouches::Selection selection;
};

// Points of an ellipse (centre cx, cy, half axes rx, ry in pixels) as fractions of a w × h box.
std::vector<Vision::Point> ring(double cx, double cy, double rx, double ry, int w, int h) {
    std::vector<Vision::Point> out;
    for (int k = 0; k < 8; ++k) {
        const double a = k * M_PI / 4;
        out.push_back({(cx + rx * std::cos(a)) / w, (cy + ry * std::sin(a)) / h});
    }
    return out;
}

Scene scene(double eyeWidth, double eyeHeight, double mouthHeight) {
    const int w = 320, h = 240;
    const double ex = 110, ey = 150, mx = 160, my = 70;
    Image picture = Image::filled(Rect{0, 0, w, h}, rgb(0.55f, -0.04f, 0.06f));
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) {
            const double x = col + 0.5, y = h - row - 0.5;
            if (std::hypot((x - ex) / (eyeWidth / 2), (y - ey) / std::max(eyeHeight / 2, 0.5)) < 1)
                picture.at(col, row) = rgb(0.72f, 0.01f, 0.01f);
            else if (std::hypot((x - mx) / 30, (y - my) / std::max(mouthHeight / 2, 0.5)) < 1)
                picture.at(col, row) = rgb(0.68f, -0.07f, 0.03f);
            else if (std::fabs(x - ex) < eyeWidth * 0.5 && y < ey - eyeHeight / 2 && y > ey - eyeHeight / 2 - 0.3 * eyeWidth)
                picture.at(col, row) = rgb(0.4f, -0.02f, 0.08f);
        }
    Scene s{picture, {}};
    s.selection.mask = cv::Mat(h, w, CV_32F, cv::Scalar(1));
    s.selection.skinLuma = 0.55;
    s.selection.regions = {{s.selection.mask, 200}};
    Vision::FaceObservation face;
    face.boundingBox = {0, 0, 1, 1};
    face.confidence = 0.99f;
    Vision::Landmarks l;
    l.leftEye = ring(ex, ey, eyeWidth / 2, eyeHeight / 2, w, h);
    l.innerLips = ring(mx, my, 30, mouthHeight / 2, w, h);
    l.outerLips = ring(mx, my, 34, mouthHeight / 2 + 6, w, h);
    face.landmarks = l;
    s.selection.faces = {face};
    return s;
}

Pixel at(const Image& i, double x, double y) { return i.at(int(x), i.height() - 1 - int(y)); }

TEST(FaceTouches, WhichEyesAndMouthsAreTouched) {
    struct Case {
        const char* name;
        double eyeWidth, eyeHeight, mouthHeight;
        bool whitened, lifted, teeth;
    };
    const std::vector<Case> cases = {
        {"open eye and mouth", 40, 16, 12, true, true, true},
        {"eye 11 px wide: nothing", 11, 6, 12, false, false, true},
        {"eye 12 px wide", 12, 6, 12, true, true, true},
        {"closed eye: lifted, not whitened", 40, 6, 12, false, true, true},
        {"closed mouth: no teeth", 40, 16, 4, true, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Scene s = scene(c.eyeWidth, c.eyeHeight, c.mouthHeight);
        const std::vector<Amounts> amounts = {{0, 1, 1, 1}};
        const Image touched = FaceTouches::features(FaceTouches::skin(s.picture, s.selection, amounts), s.selection, amounts);
        const Ycc whiteBefore = FaceTouches::toYcc(at(s.picture, 110 + c.eyeWidth * 0.35, 150));
        const Ycc whiteAfter = FaceTouches::toYcc(at(touched, 110 + c.eyeWidth * 0.35, 150));
        EXPECT_EQ(whiteAfter.y > whiteBefore.y + 0.01f, c.whitened);
        // the middle of the band under the eye
        const double bandY = 150 - c.eyeHeight / 2 + 0.02 * c.eyeWidth - 0.225 * c.eyeWidth;
        EXPECT_EQ(FaceTouches::toYcc(at(touched, 110, bandY)).y > FaceTouches::toYcc(at(s.picture, 110, bandY)).y + 0.01f,
                  c.lifted);
        EXPECT_EQ(FaceTouches::toYcc(at(touched, 160, 70)).y > FaceTouches::toYcc(at(s.picture, 160, 70)).y + 0.01f, c.teeth);
        // Far from the eye and the mouth nothing moves.
        EXPECT_TRUE(same(at(touched, 300, 220), at(s.picture, 300, 220)));
    }
    // The overlay masks: the open eye and mouth, nothing when no face asks.
    {
        const Scene open = scene(40, 16, 12);
        const std::optional<cv::Mat> shown = FaceTouches::regions(open.selection, {320, 240}, {{0, 0, 1, 1}});
        ASSERT_TRUE(shown);
        EXPECT_GT(shown->at<float>(240 - 1 - 150, 124), 0.5f);  // sclera
        EXPECT_GT(shown->at<float>(240 - 1 - 70, 160), 0.5f);   // teeth
        EXPECT_EQ(shown->at<float>(20, 300), 0.0f);
        EXPECT_FALSE(FaceTouches::regions(open.selection, {320, 240}, {{1, 1, 0, 0}}));
        EXPECT_FALSE(FaceTouches::regions(scene(40, 6, 4).selection, {320, 240}, {{0, 0, 1, 1}}));
    }
    // All amounts 0: the same pixels.
    const Scene s = scene(40, 16, 12);
    const std::vector<Amounts> none = {{}};
    EXPECT_EQ(FaceTouches::skin(s.picture, s.selection, none).mat().data, s.picture.mat().data);
    EXPECT_EQ(FaceTouches::features(s.picture, s.selection, none).mat().data, s.picture.mat().data);
}

TEST(FaceTouches, EvennessMovesBlotchesTowardsTheSurroundingSkin) {
    const int w = 300, h = 300;
    Image picture = Image::filled(Rect{0, 0, w, h}, rgb(0.55f, -0.04f, 0.06f));
    for (int row = 140; row < 160; ++row)
        for (int col = 140; col < 160; ++col) picture.at(col, row) = rgb(0.55f, -0.06f, 0.12f);  // a red blotch
    FaceTouches::Selection selection;
    selection.mask = cv::Mat(h, w, CV_32F, cv::Scalar(0));
    cv::circle(selection.mask, cv::Point(150, 150), 110, cv::Scalar(1), cv::FILLED);
    selection.regions = {{selection.mask, 250}};
    const Image even = FaceTouches::skin(picture, selection, {{1, 0, 0, 0}});
    const Ycc before = FaceTouches::toYcc(picture.at(150, 150)), after = FaceTouches::toYcc(even.at(150, 150));
    EXPECT_LT(after.cr, before.cr - 0.02f);  // towards the surrounding 0.06
    EXPECT_NEAR(after.y, before.y, 1e-5f);
    // Outside the mask nothing moves.
    EXPECT_TRUE(same(even.at(5, 5), picture.at(5, 5)));
}

TEST(FaceTouchesPortrait, TouchesStayOnTheFace) {
    if (!TestSupport::fixturesDir()) GTEST_SKIP() << "shared fixtures not present";
    const Imaging::Bitmap bitmap = FacePictures::bitmap(FacePictures::load("portraits/webmorph_london030_eastasian_woman_smile.jpg"));
    const std::vector<Vision::FaceObservation> faces = Vision::findFaces(bitmap);
    ASSERT_FALSE(faces.empty());
    ASSERT_TRUE(faces.front().landmarks);
    const Image photo = Imaging::fromBitmap(bitmap);
    const int w = photo.width(), h = photo.height();
    const Vision::Rect& b = faces.front().boundingBox;
    // The mask: an ellipse in the face box (picture fractions, y up) drawn top-down.
    FaceTouches::Selection selection;
    selection.mask = cv::Mat(h, w, CV_32F, cv::Scalar(0));
    const cv::Point centre(int(w * (b.x + b.width / 2)), int(h * (1 - b.y - b.height / 2)));
    cv::ellipse(selection.mask, centre, cv::Size(int(w * b.width * 0.45), int(h * b.height * 0.5)), 0, 0, 360,
                cv::Scalar(1), cv::FILLED);
    cv::GaussianBlur(selection.mask, selection.mask, cv::Size(0, 0), 4);
    selection.skinLuma = FaceTouches::toYcc(Imaging::areaAverage(
                                                photo, Rect{int(w * (b.x + b.width * 0.3)), int(h * (b.y + b.height * 0.3)),
                                                            int(w * b.width * 0.1), int(h * b.height * 0.1)}))
                             .y;
    selection.regions = {{selection.mask, w * b.width}};
    selection.faces = {faces.front()};
    const std::vector<Amounts> amounts = {{1, 1, 1, 1}};
    const Image touched = FaceTouches::features(FaceTouches::skin(photo, selection, amounts), selection, amounts);

    // Outside the face box (and the blur margins) nothing changes; inside, something does.
    const cv::Rect box(int(w * b.x) - 20, int(h * (1 - b.y - b.height)) - 20, int(w * b.width) + 40, int(h * b.height) + 40);
    int changed = 0;
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) {
            const bool differs = !same(touched.at(col, row), photo.at(col, row));
            if (!box.contains({col, row})) {
                ASSERT_FALSE(differs) << col << "," << row;
            }
            changed += differs;
        }
    EXPECT_GT(changed, 1000);
    // Nothing is pushed out of range or to NaN.
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) ASSERT_TRUE(std::isfinite(touched.at(col, row).g));
}

}  // namespace
