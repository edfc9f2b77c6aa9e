// The face detection network run with our own kernels against OpenCV's DNN
// module on the same model file: the same raw outputs on real portraits and
// on made-up inputs, hence the same detections; and damaged model files.
#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/dnn.hpp>

#include "engine/vision/blazeface.h"
#include "engine/vision/face_network.h"
#include "engine/vision/faces.h"
#include "engine/vision/onnx_weights.h"
#include "vision/face_pictures.h"

namespace {

constexpr int side = BlazeFace::inputSize;

// A picture letterboxed into the 256 x 256 RGB square the detector gives the network.
cv::Mat letterboxed(const cv::Mat& bgr) {
    const double scale = double(side) / std::max(bgr.cols, bgr.rows);
    const int w = std::max(1, int(std::lround(bgr.cols * scale))), h = std::max(1, int(std::lround(bgr.rows * scale)));
    cv::Mat rgb, square(side, side, CV_8UC3, cv::Scalar::all(0));
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    cv::resize(rgb, square(cv::Rect((side - w) / 2, (side - h) / 2, w, h)), cv::Size(w, h), 0, 0, cv::INTER_AREA);
    return square;
}

// The same square as the float tensor OpenCV's run takes.
cv::Mat tensor(const cv::Mat& square) {
    cv::Mat input;
    square.convertTo(input, CV_32FC3, 1 / 127.5, -1);
    const int shape[] = {1, side, side, 3};
    return input.reshape(1, 4, shape).clone();
}

// The same outputs from OpenCV's own run of the model.
FaceModel::Outputs referenceRun(cv::dnn::Net& net, const cv::Mat& input) {
    std::vector<cv::Mat> outs;
    net.setInput(input);
    net.forward(outs, net.getUnconnectedOutLayersNames());
    const cv::Mat *scoresFine = nullptr, *scoresCoarse = nullptr, *boxesFine = nullptr, *boxesCoarse = nullptr;
    for (const cv::Mat& out : outs) {
        if (out.total() == 512) scoresFine = &out;
        if (out.total() == 384) scoresCoarse = &out;
        if (out.total() == 512 * 16) boxesFine = &out;
        if (out.total() == 384 * 16) boxesCoarse = &out;
    }
    EXPECT_TRUE(scoresFine && scoresCoarse && boxesFine && boxesCoarse);
    FaceModel::Outputs r;
    const auto append = [](std::vector<float>& to, const cv::Mat* m) {
        if (m) to.insert(to.end(), m->ptr<float>(), m->ptr<float>() + m->total());
    };
    append(r.scores, scoresFine);
    append(r.scores, scoresCoarse);
    append(r.regressors, boxesFine);
    append(r.regressors, boxesCoarse);
    return r;
}

TEST(FaceNetwork, GivesTheOutputsOfOpenCVsRunOfTheSameModel) {
    REQUIRE_FIXTURES();
    REQUIRE_FACE_MODEL();
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    cv::dnn::Net net = cv::dnn::readNetFromONNX(FaceModel::locate()->string());
    ASSERT_FALSE(net.empty());

    cv::Mat noise(side, side, CV_8UC3);
    cv::setRNGSeed(3);
    cv::randu(noise, 0, 256);
    const cv::Mat obama = FacePictures::load("faces/facerec_obama.jpg");
    const cv::Mat curie = FacePictures::load("faces/immich_portrait.jpg");
    ASSERT_FALSE(obama.empty());
    ASSERT_FALSE(curie.empty());
    struct Case {
        const char* name;
        cv::Mat picture;
        std::size_t faces;  // confident detections after merging
    };
    const Case cases[] = {
        {"obama", obama, 1},
        {"curie", curie, 1},
        {"curie, a small crop of the face", curie(cv::Rect(curie.cols / 5, curie.rows / 8, curie.cols / 3, curie.rows / 3)), 1},
        {"noise", noise, 0},
        {"black", cv::Mat(300, 200, CV_8UC3, cv::Scalar::all(0)), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const cv::Mat square = letterboxed(c.picture);
        const cv::Mat input = tensor(square);
        const FaceModel::Outputs ours = FaceModel::run(square);
        const FaceModel::Outputs theirs = referenceRun(net, input);
        // The float tensor gives the same pass as the 8-bit square.
        const FaceModel::Outputs fromTensor = FaceModel::run(input);
        ASSERT_EQ(fromTensor.scores.size(), ours.scores.size());
        for (std::size_t i = 0; i < ours.scores.size(); ++i)
            ASSERT_NEAR(fromTensor.scores[i], ours.scores[i], 1e-4 * std::max(1.0f, std::abs(ours.scores[i]))) << i;
        ASSERT_EQ(ours.scores.size(), std::size_t(BlazeFace::anchorCount));
        ASSERT_EQ(theirs.scores.size(), ours.scores.size());
        ASSERT_EQ(theirs.regressors.size(), ours.regressors.size());
        // Sums in another order round differently; the outputs are logits and pixels.
        for (std::size_t i = 0; i < ours.scores.size(); ++i)
            ASSERT_NEAR(ours.scores[i], theirs.scores[i], 1e-3 * std::max(1.0f, std::abs(theirs.scores[i]))) << i;
        for (std::size_t i = 0; i < ours.regressors.size(); ++i)
            ASSERT_NEAR(ours.regressors[i], theirs.regressors[i], 1e-3 * std::max(1.0f, std::abs(theirs.regressors[i])))
                << i;

        const auto detections = [](const FaceModel::Outputs& o) {
            return BlazeFace::weightedNonMaxSuppression(
                BlazeFace::decode(o.scores, o.regressors, Vision::minimumDetectionConfidence));
        };
        const auto a = detections(ours), b = detections(theirs);
        ASSERT_EQ(a.size(), b.size());
        std::size_t confident = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_NEAR(a[i].score, b[i].score, 1e-4);
            EXPECT_NEAR(a[i].xMin, b[i].xMin, 1e-4);
            EXPECT_NEAR(a[i].yMax, b[i].yMax, 1e-4);
            EXPECT_NEAR(a[i].keypoints[BlazeFace::leftEye].x, b[i].keypoints[BlazeFace::leftEye].x, 1e-4);
            confident += a[i].score >= 0.8f;
        }
        EXPECT_EQ(confident, c.faces);
    }
}

TEST(FaceNetwork, DamagedModelFilesAreRefused) {
    std::string model;
    if (const auto path = FaceModel::locate()) model = TestSupport::readFile(*path);
    struct Case {
        const char* name;
        std::string bytes;
    };
    std::vector<Case> cases = {
        {"empty", ""},
        {"text", "not a network"},
        {"a length running past the end", std::string("\x3a\xff\xff\xff\x0f", 5)},
        {"an endless number", std::string(16, '\xff')},
    };
    if (!model.empty()) {
        cases.push_back({"first half of the model", model.substr(0, model.size() / 2)});
        cases.push_back({"the model without its last byte", model.substr(0, model.size() - 1)});
    }
    TestSupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestSupport::writeFile(dir / "model.onnx", c.bytes);
        EXPECT_THROW(FaceNetwork::load(dir / "model.onnx"), std::runtime_error);
    }
    EXPECT_THROW(FaceNetwork::load(dir / "absent.onnx"), std::runtime_error);
}

}  // namespace
