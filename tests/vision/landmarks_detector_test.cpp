// The detector's faces carry the landmark network's regions: they agree with
// the detector's own keypoints, feed the eye of the picture evidence, and give
// way to the keypoint construction when the landmark model is missing.

#include <cmath>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include "engine/library/analysis.h"
#include "engine/vision/faces.h"
#include "engine/vision/landmarks68.h"
#include "vision/face_pictures.h"

namespace {

using Vision::Point;

bool contains(const std::vector<Point>& outline, Point p) {
    std::vector<cv::Point2f> polygon;
    for (const Point& q : outline) polygon.emplace_back(float(q.x), float(q.y));
    return cv::pointPolygonTest(polygon, cv::Point2f(float(p.x), float(p.y)), false) >= 0;
}

Point mean(const std::vector<Point>& points) {
    Point m;
    for (const Point& p : points) m.x += p.x, m.y += p.y;
    return {m.x / double(points.size()), m.y / double(points.size())};
}

// A box-normalised point in picture pixels, origin top-left.
Point pixel(Point p, const Vision::Rect& b, double w, double h) {
    return {w * (b.x + p.x * b.width), h * (1 - (b.y + p.y * b.height))};
}

TEST(LandmarksFromDetector, NetworkRegionsHoldTheDetectorsKeypoints) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    if (!FaceLandmarks::locateModel()) GTEST_SKIP() << "face landmark model is not available";
    const char* photos[] = {"faces/facerec_obama.jpg", "faces/immich_portrait.jpg",
                            "faces/immich_portrait-orientation-6.jpg"};
    for (const char* photo : photos) {
        SCOPED_TRACE(photo);
        const Imaging::Bitmap picture = FacePictures::bitmap(FacePictures::load(photo));
        // The quick search both times: the thorough one's SSD check reads its
        // model from the landmark model's folder, hidden below.
        const auto withNetwork = Vision::detectFaces(picture, Vision::Search::quick);
        std::optional<std::vector<Vision::FaceObservation>> fromKeypoints;
        {
            TestSupport::TempDir empty;
            FacePictures::ScopedEnv hidden(FaceLandmarks::environmentVariable, empty.path().string());
            fromKeypoints = Vision::detectFaces(picture, Vision::Search::quick);
        }
        ASSERT_TRUE(withNetwork && fromKeypoints);
        ASSERT_EQ(withNetwork->size(), fromKeypoints->size());

        int confident = 0;
        for (std::size_t i = 0; i < withNetwork->size(); ++i) {
            const auto& net = (*withNetwork)[i];
            const auto& keys = (*fromKeypoints)[i];
            EXPECT_EQ(net.boundingBox.x, keys.boundingBox.x);
            if (net.confidence < 0.8f) continue;
            ++confident;
            ASSERT_TRUE(net.landmarks && keys.landmarks);
            const Vision::Landmarks& n = *net.landmarks;
            const Vision::Landmarks& k = *keys.landmarks;
            // The network's regions, not the keypoint construction's.
            EXPECT_EQ(n.faceContour.size(), 17u);
            EXPECT_EQ(n.rightEye.size(), 6u);
            EXPECT_EQ(n.leftEye.size(), 6u);
            EXPECT_EQ(n.outerLips.size(), 12u);
            EXPECT_NE(k.faceContour.size(), 17u);
            // The keypoint construction puts each pupil on the detector's eye
            // keypoint and centres the lips on its mouth keypoint.
            EXPECT_TRUE(contains(n.rightEye, k.rightPupil.at(0)));
            EXPECT_TRUE(contains(n.leftEye, k.leftPupil.at(0)));
            EXPECT_TRUE(contains(n.outerLips, mean(k.outerLips)));
            EXPECT_TRUE(contains(n.rightEye, n.rightPupil.at(0)));
            EXPECT_TRUE(contains(n.leftEye, n.leftPupil.at(0)));
        }
        EXPECT_EQ(confident, 1);

        // The picture evidence's eye lies on one of the detector's eyes.
        const auto evidence = Extraction::faceEvidence(*withNetwork);
        ASSERT_TRUE(evidence.eye.has_value());
        const auto& largest = *std::max_element(withNetwork->begin(), withNetwork->end(), [](auto& a, auto& b) {
            return a.boundingBox.width * a.boundingBox.height < b.boundingBox.width * b.boundingBox.height;
        });
        const auto& keyLandmarks = *(*fromKeypoints)[std::size_t(&largest - withNetwork->data())].landmarks;
        const double w = picture.width, h = picture.height;
        const Point eye{evidence.eye->x * w, evidence.eye->y * h};
        const Point right = pixel(keyLandmarks.rightPupil.at(0), largest.boundingBox, w, h);
        const Point left = pixel(keyLandmarks.leftPupil.at(0), largest.boundingBox, w, h);
        const double apart = std::hypot(right.x - left.x, right.y - left.y);
        const double nearest = std::min(std::hypot(eye.x - right.x, eye.y - right.y), std::hypot(eye.x - left.x, eye.y - left.y));
        EXPECT_LT(nearest, 0.15 * apart);
    }
}

}  // namespace
