// The SSD face network: its anchors against the ones stored with the model,
// a real face found where it is, and the calibration of the face check.
#include <cmath>

#include <gtest/gtest.h>

#include "engine/vision/face_check.h"
#include "engine/vision/landmarks68.h"
#include "engine/vision/ssd_network.h"
#include "engine/vision/tfjs_weights.h"
#include "vision/face_pictures.h"

namespace {

std::optional<std::filesystem::path> ssdManifest() {
    for (const auto& folder : FaceLandmarks::searchList())
        if (std::filesystem::is_regular_file(folder / SsdNetwork::manifestFileName))
            return folder / SsdNetwork::manifestFileName;
    return std::nullopt;
}

// At the side it was trained at, the anchors are exactly those the model file
// stores (ymin, xmin, ymax, xmax); at other sides they keep their pixel size.
TEST(SsdNetwork, AnchorsAreTheModelsOwn) {
    const auto manifest = ssdManifest();
    if (!manifest) GTEST_SKIP() << "SSD face model is not available (scripts/fetch-landmarks)";
    auto tensors = TfjsWeights::read(*manifest);
    const std::vector<float> stored = TfjsWeights::take(tensors, "Output/extra_dim", {1, 5118, 4});
    const auto anchors = SsdNetwork::anchors(SsdNetwork::trainedSide);
    ASSERT_EQ(anchors.size(), 5118u);
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        const float* s = &stored[4 * i];
        ASSERT_NEAR(anchors[i].cy, (s[0] + s[2]) / 2, 1e-4) << i;
        ASSERT_NEAR(anchors[i].cx, (s[1] + s[3]) / 2, 1e-4) << i;
        ASSERT_NEAR(anchors[i].h, s[2] - s[0], 1e-4) << i;
        ASSERT_NEAR(anchors[i].w, s[3] - s[1], 1e-4) << i;
    }
    const auto half = SsdNetwork::anchors(256);
    // Grids of 16, 8, 4, 2, 1 and 1 cells on a side.
    EXPECT_EQ(half.size(), std::size_t(16 * 16 * 3 + (8 * 8 + 4 * 4 + 2 * 2 + 1 + 1) * 6));
    EXPECT_NEAR(half[0].w, 2 * anchors[0].w, 1e-6);
}

// The portrait scaled into the network's input: one confident face, where the
// face is, and nothing else confident.
TEST(SsdNetwork, FindsTheFaceOfAPortrait) {
    REQUIRE_FIXTURES();
    const auto manifest = ssdManifest();
    if (!manifest) GTEST_SKIP() << "SSD face model is not available (scripts/fetch-landmarks)";
    const SsdNetwork::Weights weights = SsdNetwork::load(*manifest);
    const cv::Mat obama = FacePictures::load("faces/facerec_obama.jpg");  // 910 x 1137, face centre (0.545, 0.24)
    ASSERT_FALSE(obama.empty());
    cv::Mat square(512, 512, CV_8UC3, cv::Scalar::all(0)), rgb;
    const double scale = 512.0 / obama.rows;
    cv::resize(obama, square(cv::Rect(0, 0, int(obama.cols * scale), 512)), cv::Size(int(obama.cols * scale), 512), 0,
               0, cv::INTER_AREA);
    cv::cvtColor(square, rgb, cv::COLOR_BGR2RGB);
    const auto boxes = SsdNetwork::detect(weights, rgb.ptr(), rgb.step[0], 512, 0.8f);
    ASSERT_FALSE(boxes.empty());
    for (const auto& b : boxes) {
        EXPECT_NEAR((b.xMin + b.xMax) / 2 / (obama.cols * scale / 512), 0.545, 0.05);
        EXPECT_NEAR((b.yMin + b.yMax) / 2, 0.24, 0.06);
    }
}

// The check's confidence rises with its score and puts the labelled extremes
// on either side of the portrait code's 0.8.
TEST(FaceCheck, ConfidenceIsMonotoneAndSplitsTheLabelledScores) {
    EXPECT_LT(FaceCheck::confidence(0.322f), 0.2f);  // the highest false detection
    EXPECT_GE(FaceCheck::confidence(0.557f), 0.8f);  // the lowest true face
    EXPECT_NEAR(FaceCheck::confidence(FaceCheck::checkCentre), 0.5f, 1e-6);
    for (float s = 0; s < 1; s += 0.01f) EXPECT_LT(FaceCheck::confidence(s), FaceCheck::confidence(s + 0.01f));
}

}  // namespace
