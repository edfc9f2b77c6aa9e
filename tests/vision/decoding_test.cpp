// The detector's maths without the network: anchors, output decoding, merging
// of overlapping detections, the tile layout and the landmark regions.
#include <cmath>
#include <numbers>

#include <gtest/gtest.h>

#include "engine/vision/blazeface.h"
#include "engine/vision/faces.h"
#include "engine/vision/tiles.h"

namespace {

TEST(BlazeFaceAnchors, FineGridThenCoarseGridCellCentres) {
    const auto& anchors = BlazeFace::anchors();
    ASSERT_EQ(anchors.size(), 896u);
    struct Case {
        int index;
        float x, y;
    };
    const Case cases[] = {
        {0, 0.5f / 16, 0.5f / 16},           // first cell of the 16 x 16 grid, first anchor
        {1, 0.5f / 16, 0.5f / 16},           // its second anchor
        {2 * (16 * 3 + 5), 5.5f / 16, 3.5f / 16},  // row 3, column 5
        {511, 15.5f / 16, 15.5f / 16},       // last of the fine grid
        {512, 0.5f / 8, 0.5f / 8},           // first of the 8 x 8 grid
        {517, 0.5f / 8, 0.5f / 8},           // sixth anchor of the same cell
        {518, 1.5f / 8, 0.5f / 8},           // next cell along the row
        {512 + 6 * 8, 0.5f / 8, 1.5f / 8},   // next row
        {895, 7.5f / 8, 7.5f / 8},
    };
    for (const Case& c : cases) {
        EXPECT_FLOAT_EQ(anchors[c.index].x, c.x) << "anchor " << c.index;
        EXPECT_FLOAT_EQ(anchors[c.index].y, c.y) << "anchor " << c.index;
    }
}

TEST(BlazeFaceDecode, RegressorsAreInputPixelsAroundTheAnchor) {
    struct Case {
        int anchor;
        float rawScore;
        std::array<float, 16> regressors;
        bool kept;
        float score, xMin, yMin, xMax, yMax, eyeX, eyeY;
    };
    const float logit49 = std::log(0.49f / 0.51f);
    const Case cases[] = {
        // centre (1/32, 1/32) moved by (8, -4) input pixels, 32 x 64 pixels, right eye at (+2, +2)
        {0, 0.0f, {8, -4, 32, 64, 2, 2}, true, 0.5f, 0.0f, -0.109375f, 0.125f, 0.140625f, 0.0390625f, 0.0390625f},
        // coarse anchor (7.5/8, 7.5/8), box centred on it
        {895, 2.0f, {0, 0, 16, 16, -16, 0}, true, 1 / (1 + std::exp(-2.0f)), 0.90625f, 0.90625f, 0.96875f,
         0.96875f, 0.875f, 0.9375f},
        // row 3, column 5 of the fine grid; a huge raw score is clipped before the sigmoid
        {106, 1000.0f, {0, 0, 25.6f, 25.6f, 0, 0}, true, 1.0f, 0.29375f, 0.16875f, 0.39375f, 0.26875f, 0.34375f,
         0.21875f},
        // just below the minimum score
        {300, logit49, {0, 0, 10, 10}, false, 0, 0, 0, 0, 0, 0, 0},
        // an empty box is no detection
        {301, 5.0f, {0, 0, 0, 10}, false, 0, 0, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        std::vector<float> scores(BlazeFace::anchorCount, -50.0f);
        std::vector<float> regressors(BlazeFace::anchorCount * BlazeFace::regressorWidth, 0.0f);
        scores[c.anchor] = c.rawScore;
        std::copy(c.regressors.begin(), c.regressors.end(), regressors.begin() + c.anchor * BlazeFace::regressorWidth);
        const auto found = BlazeFace::decode(scores, regressors, 0.5f);
        SCOPED_TRACE("anchor " + std::to_string(c.anchor));
        if (!c.kept) {
            EXPECT_TRUE(found.empty());
            continue;
        }
        ASSERT_EQ(found.size(), 1u);
        const auto& d = found[0];
        EXPECT_NEAR(d.score, c.score, 1e-6);
        EXPECT_NEAR(d.xMin, c.xMin, 1e-6);
        EXPECT_NEAR(d.yMin, c.yMin, 1e-6);
        EXPECT_NEAR(d.xMax, c.xMax, 1e-6);
        EXPECT_NEAR(d.yMax, c.yMax, 1e-6);
        EXPECT_NEAR(d.keypoints[BlazeFace::rightEye].x, c.eyeX, 1e-6);
        EXPECT_NEAR(d.keypoints[BlazeFace::rightEye].y, c.eyeY, 1e-6);
    }
}

TEST(BlazeFaceDecode, ShortOutputsAreReadOnlyAsFarAsTheyGo) {
    std::vector<float> scores(10, 5.0f);
    std::vector<float> regressors(4 * BlazeFace::regressorWidth, 4.0f);  // only four anchors' worth
    EXPECT_EQ(BlazeFace::decode(scores, regressors, 0.5f).size(), 4u);
    EXPECT_TRUE(BlazeFace::decode({}, {}, 0.5f).empty());
}

BlazeFace::Detection box(float x1, float y1, float x2, float y2, float score, float eye = 0) {
    BlazeFace::Detection d;
    d.xMin = x1;
    d.yMin = y1;
    d.xMax = x2;
    d.yMax = y2;
    d.score = score;
    d.keypoints[0] = {eye, eye};
    return d;
}

TEST(BlazeFaceMerge, OverlappingDetectionsAreAveragedByScore) {
    struct Case {
        const char* name;
        std::vector<BlazeFace::Detection> input;
        std::vector<BlazeFace::Detection> expected;
    };
    const Case cases[] = {
        {"nothing", {}, {}},
        {"two overlapping: weighted average, best score kept",
         {box(0.1f, 0, 1.1f, 1, 0.6f, 1.0f), box(0, 0, 1, 1, 0.9f, 0.0f)},
         {box(0.04f, 0, 1.04f, 1, 0.9f, 0.4f)}},
        {"apart: both kept, best first",
         {box(0, 0, 0.2f, 0.2f, 0.7f), box(0.5f, 0.5f, 0.9f, 0.9f, 0.8f)},
         {box(0.5f, 0.5f, 0.9f, 0.9f, 0.8f), box(0, 0, 0.2f, 0.2f, 0.7f)}},
        {"touching by a sliver (IoU under 0.3): kept apart",
         {box(0, 0, 1, 1, 0.9f), box(0.8f, 0, 1.8f, 1, 0.8f)},
         {box(0, 0, 1, 1, 0.9f), box(0.8f, 0, 1.8f, 1, 0.8f)}},
        {"chain: the second cluster starts from the best of the rest",
         {box(0, 0, 1, 1, 0.9f), box(0.05f, 0, 1.05f, 1, 0.9f), box(3, 3, 4, 4, 0.5f), box(3, 3, 4, 4, 0.5f)},
         {box(0.025f, 0, 1.025f, 1, 0.9f), box(3, 3, 4, 4, 0.5f)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto merged = BlazeFace::weightedNonMaxSuppression(c.input);
        ASSERT_EQ(merged.size(), c.expected.size());
        for (std::size_t i = 0; i < merged.size(); ++i) {
            EXPECT_NEAR(merged[i].xMin, c.expected[i].xMin, 1e-5);
            EXPECT_NEAR(merged[i].yMin, c.expected[i].yMin, 1e-5);
            EXPECT_NEAR(merged[i].xMax, c.expected[i].xMax, 1e-5);
            EXPECT_NEAR(merged[i].yMax, c.expected[i].yMax, 1e-5);
            EXPECT_FLOAT_EQ(merged[i].score, c.expected[i].score);
            EXPECT_NEAR(merged[i].keypoints[0].x, c.expected[i].keypoints[0].x, 1e-5);
        }
    }
}

// Every face from 40 pixels up to the short edge lies whole inside some tile
// that reports faces of its size and where it is at least 16 network pixels
// wide, wherever it is.
TEST(FaceTilesLayout, EveryFaceSizeFitsSomeTileLargeEnough) {
    struct Size {
        int width, height;
    };
    const Size sizes[] = {{200, 100}, {640, 480}, {641, 400}, {910, 1137}, {1600, 1067},
                          {1067, 1600}, {1600, 1600}, {2048, 1365}, {6000, 4000}, {3000, 20}};
    for (const Size& size : sizes) {
        SCOPED_TRACE(std::to_string(size.width) + "x" + std::to_string(size.height));
        const auto tiles = FaceTiles::layout(size.width, size.height);
        ASSERT_FALSE(tiles.empty());
        EXPECT_EQ(tiles[0].x, 0);
        EXPECT_EQ(tiles[0].y, 0);
        EXPECT_EQ(tiles[0].width, size.width);
        EXPECT_EQ(tiles[0].height, size.height);
        for (const auto& t : tiles) {
            EXPECT_GE(t.x, 0);
            EXPECT_GE(t.y, 0);
            EXPECT_LE(t.x + t.width, size.width);
            EXPECT_LE(t.y + t.height, size.height);
            EXPECT_GT(t.width, 0);
            EXPECT_GT(t.height, 0);
        }
        for (int face : {40, 64, 100, 130, 200, 300, 500, 800, 1500, 3000}) {
            if (face > std::min(size.width, size.height)) continue;
            const int step = std::max(16, face / 3);
            for (int y = 0; y + face <= size.height; y += step) {
                for (int x = 0; x + face <= size.width; x += step) {
                    const bool found = std::any_of(tiles.begin(), tiles.end(), [&](const FaceTiles::Tile& t) {
                        const bool inside = x >= t.x && y >= t.y && x + face <= t.x + t.width &&
                                            y + face <= t.y + t.height;
                        const int side = std::max(t.width, t.height);
                        const bool whole = t.width == size.width && t.height == size.height;
                        const bool reported = whole || face <= side * FaceTiles::largestFaceShare;
                        return inside && reported && face * 256.0 / side >= 16;
                    });
                    if (!found) {
                        ADD_FAILURE() << "no tile holds a " << face << " pixel face at " << x << "," << y;
                        goto nextSize;
                    }
                }
            }
        }
    nextSize:;
    }
}

// Landmarks in pixels of the picture, from points normalised to the box.
Vision::Point toPixels(const Vision::Point& p, const Vision::PixelBox& box) {
    return {box.x + p.x * box.width, box.y + (1 - p.y) * box.height};
}

Vision::Point centroid(const std::vector<Vision::Point>& points, const Vision::PixelBox& box) {
    Vision::Point c;
    for (const auto& p : points) {
        const auto q = toPixels(p, box);
        c.x += q.x / points.size();
        c.y += q.y / points.size();
    }
    return c;
}

const Vision::FaceKeypoints upright{{40, 50}, {60, 50}, {50, 60}, {50, 72}, {30, 55}, {70, 55}};
const Vision::PixelBox uprightBox{25, 30, 50, 55};

TEST(Landmarks, RegionsSitWhereAFaceHasThem) {
    const auto l = Vision::landmarksFromKeypoints(upright, uprightBox);
    for (const auto* region : {&l.faceContour, &l.leftEye, &l.rightEye, &l.leftPupil, &l.rightPupil, &l.leftEyebrow,
                               &l.rightEyebrow, &l.nose, &l.outerLips, &l.innerLips})
        EXPECT_FALSE(region->empty());

    // Pupils are the eye keypoints, normalised to the box with y up.
    ASSERT_EQ(l.rightPupil.size(), 1u);
    EXPECT_DOUBLE_EQ(l.rightPupil[0].x, 15.0 / 50);
    EXPECT_DOUBLE_EQ(l.rightPupil[0].y, 1 - 20.0 / 55);
    const auto leftPupil = toPixels(l.leftPupil[0], uprightBox);
    EXPECT_NEAR(leftPupil.x, 60, 1e-9);
    EXPECT_NEAR(leftPupil.y, 50, 1e-9);

    // Eye outlines are centred on the eyes; the person's left eye is on the picture's right.
    const auto rightEye = centroid(l.rightEye, uprightBox), leftEye = centroid(l.leftEye, uprightBox);
    EXPECT_NEAR(rightEye.x, 40, 1e-9);
    EXPECT_NEAR(rightEye.y, 50, 1e-9);
    EXPECT_NEAR(leftEye.x, 60, 1e-9);
    EXPECT_GE(l.rightEye.size(), 6u);

    // Brows above the eyes, nose between eyes and mouth, lips around the mouth, jaw below it.
    EXPECT_LT(centroid(l.rightEyebrow, uprightBox).y, 50);
    EXPECT_LT(centroid(l.leftEyebrow, uprightBox).y, 50);
    const auto nose = centroid(l.nose, uprightBox);
    EXPECT_GT(nose.y, 50);
    EXPECT_LT(nose.y, 72);
    EXPECT_NEAR(nose.x, 50, 1e-9);
    const auto lips = centroid(l.outerLips, uprightBox);
    EXPECT_NEAR(lips.x, 50, 1e-9);
    EXPECT_NEAR(lips.y, 72, 1e-9);
    double lowest = 0;
    for (const auto& p : l.faceContour) lowest = std::max(lowest, toPixels(p, uprightBox).y);
    EXPECT_GT(lowest, 72);
    EXPECT_LT(toPixels(l.faceContour.front(), uprightBox).x, 40);
    EXPECT_GT(toPixels(l.faceContour.back(), uprightBox).x, 60);

    // A detector without lip points cannot see an open mouth: the inner lips are closed
    // (height under 8 % of the width) so that nothing treats them as showing teeth.
    double minX = 1e9, maxX = -1e9, minY = 1e9, maxY = -1e9;
    for (const auto& p : l.innerLips) {
        const auto q = toPixels(p, uprightBox);
        minX = std::min(minX, q.x), maxX = std::max(maxX, q.x), minY = std::min(minY, q.y), maxY = std::max(maxY, q.y);
    }
    EXPECT_GE(l.innerLips.size(), 6u);
    EXPECT_LT(maxY - minY, 0.08 * (maxX - minX));
}

// Turning a face turns its regions with it: the construction depends on the
// keypoints only, not on the picture's axes.
TEST(Landmarks, TurnWithTheFace) {
    const auto reference = Vision::landmarksFromKeypoints(upright, uprightBox);
    const Vision::Point pivot{50, 55};
    for (double degrees : {30.0, 90.0, 180.0, -45.0}) {
        SCOPED_TRACE(degrees);
        const double a = degrees * std::numbers::pi / 180;
        const auto turn = [&](Vision::Point p) {
            const double dx = p.x - pivot.x, dy = p.y - pivot.y;
            return Vision::Point{pivot.x + dx * std::cos(a) - dy * std::sin(a),
                                 pivot.y + dx * std::sin(a) + dy * std::cos(a)};
        };
        const Vision::FaceKeypoints turned{turn(upright.rightEye),   turn(upright.leftEye),
                                           turn(upright.noseTip),    turn(upright.mouthCentre),
                                           turn(upright.rightEarTragion), turn(upright.leftEarTragion)};
        const Vision::PixelBox turnedBox{10, 5, 80, 90};
        const auto l = Vision::landmarksFromKeypoints(turned, turnedBox);
        const std::pair<const std::vector<Vision::Point>*, const std::vector<Vision::Point>*> regions[] = {
            {&l.faceContour, &reference.faceContour}, {&l.leftEye, &reference.leftEye},
            {&l.rightEyebrow, &reference.rightEyebrow}, {&l.nose, &reference.nose},
            {&l.outerLips, &reference.outerLips}, {&l.innerLips, &reference.innerLips},
        };
        for (const auto& [got, want] : regions) {
            ASSERT_EQ(got->size(), want->size());
            for (std::size_t i = 0; i < got->size(); ++i) {
                const auto g = toPixels((*got)[i], turnedBox);
                const auto w = turn(toPixels((*want)[i], uprightBox));
                EXPECT_NEAR(g.x, w.x, 1e-6);
                EXPECT_NEAR(g.y, w.y, 1e-6);
            }
        }
    }
}

TEST(Landmarks, CoincidingEyesGiveFiniteRegions) {
    const Vision::FaceKeypoints collapsed{{50, 50}, {50, 50}, {50, 50}, {50, 50}, {50, 50}, {50, 50}};
    const auto l = Vision::landmarksFromKeypoints(collapsed, {25, 25, 50, 50});
    for (const auto* region : {&l.faceContour, &l.leftEye, &l.nose, &l.outerLips})
        for (const auto& p : *region) EXPECT_TRUE(std::isfinite(p.x) && std::isfinite(p.y));
}

}  // namespace
