// Landmark regions made from 68 points: which points go where, their
// normalisation to the face box, and the outlines retouching draws.

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/vision/landmarks68.h"

namespace {

using Vision::Point;

// A made-up upright face in a 400 x 300 picture: point i at (100 + i, 50 + 2 i),
// pupils at (10, 20) and (30, 40).
FaceLandmarks::Face numberedFace() {
    FaceLandmarks::Face f;
    for (int i = 0; i < 68; ++i) f.points[i] = {100.0 + i, 50.0 + 2 * i};
    f.rightPupil = {10, 20};
    f.leftPupil = {30, 40};
    return f;
}

// The picture pixel of a normalised region point (the inverse mapping that
// retouching uses: W * (minX + x * width), H * (1 - (minY + y * height))).
Point pixel(Point p, const Vision::Rect& b, double W, double H) {
    return {W * (b.x + p.x * b.width), H * (1 - (b.y + p.y * b.height))};
}

TEST(LandmarkRegions, EachRegionTakesItsPointsNormalisedToTheBox) {
    const FaceLandmarks::Face f = numberedFace();
    const double W = 400, H = 300;
    const Vision::Rect box{0.2, 0.3, 0.5, 0.4};
    const Vision::Landmarks l = FaceLandmarks::regions(f, int(W), int(H), box);

    struct Region {
        const char* name;
        const std::vector<Point>* points;
        std::vector<int> indices;  // -1, -2: the right and left pupils
    };
    const Region table[] = {
        {"faceContour", &l.faceContour, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}},
        {"rightEye", &l.rightEye, {36, 37, 38, 39, 40, 41}},
        {"leftEye", &l.leftEye, {42, 43, 44, 45, 46, 47}},
        {"nose", &l.nose, {27, 31, 32, 33, 34, 35}},
        {"outerLips", &l.outerLips, {48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59}},
        {"innerLips", &l.innerLips, {60, 61, 62, 63, 64, 65, 66, 67}},
        {"rightPupil", &l.rightPupil, {-1}},
        {"leftPupil", &l.leftPupil, {-2}},
    };
    for (const Region& r : table) {
        ASSERT_EQ(r.points->size(), r.indices.size()) << r.name;
        for (std::size_t k = 0; k < r.indices.size(); ++k) {
            const int i = r.indices[k];
            const Point expected = i == -1 ? f.rightPupil : i == -2 ? f.leftPupil : f.points[i];
            const Point got = pixel((*r.points)[k], box, W, H);
            EXPECT_NEAR(got.x, expected.x, 1e-9) << r.name << " " << k;
            EXPECT_NEAR(got.y, expected.y, 1e-9) << r.name << " " << k;
        }
    }
}

TEST(LandmarkRegions, EyebrowsAreClosedBandsBelowTheirPoints) {
    // An upright face: eyes level, 100 pixels apart.
    FaceLandmarks::Face f;
    for (int i = 36; i < 42; ++i) f.points[i] = {150, 200};
    for (int i = 42; i < 48; ++i) f.points[i] = {250, 200};
    for (int i = 17; i < 27; ++i) f.points[i] = {120.0 + 15 * (i - 17), 170};
    const Vision::Rect box{0, 0, 1, 1};
    const Vision::Landmarks l = FaceLandmarks::regions(f, 400, 400, box);

    for (const auto* brow : {&l.rightEyebrow, &l.leftEyebrow}) {
        ASSERT_EQ(brow->size(), 10u);
        for (int k = 0; k < 5; ++k) {
            const Point upper = pixel((*brow)[k], box, 400, 400);
            const Point lower = pixel((*brow)[9 - k], box, 400, 400);
            EXPECT_NEAR(lower.x, upper.x, 1e-9);
            EXPECT_NEAR(lower.y - upper.y, 15, 1e-9);  // 0.15 of the eye distance, towards the eyes
        }
    }
    EXPECT_NEAR(pixel(l.rightEyebrow[0], box, 400, 400).x, 120, 1e-9);
    EXPECT_NEAR(pixel(l.leftEyebrow[0], box, 400, 400).x, 195, 1e-9);
}

}  // namespace
