#pragma once
// The face detection network file and its one loaded instance per process.

#include <filesystem>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

namespace FaceModel {

inline constexpr const char* fileName = "face_detection_back_256x256.onnx";

// Environment variable naming the model file; when set (and not empty) it is
// the only place looked at.
inline constexpr const char* environmentVariable = "MERROW_FACE_MODEL";

// Where the model is looked for, in order: the file named by MERROW_FACE_MODEL
// when that is set; otherwise models/ in the executable's folder, its parent
// and its grandparent (an installed tree, or a build tree beside the
// repository's models/), then share/merrow/models/ beside the executable's
// parent. The first existing file wins.
std::vector<std::filesystem::path> searchList();

// The model file to load: the first existing entry of searchList(), or nothing.
std::optional<std::filesystem::path> locate();

// Raw network outputs over all anchors, in output order.
struct Outputs {
    std::vector<float> scores;      // one per anchor
    std::vector<float> regressors;  // 16 per anchor
};

// Runs the network on one input: a 256 x 256 8-bit RGB picture (CV_8UC3, each
// byte b taken as b / 127.5 - 1), or a continuous 1 x 256 x 256 x 3 float
// tensor (NHWC, RGB, values in [-1, 1]). Loads the model's weights on first use
// (once per model path and process); any number of threads may run passes at
// once. Throws Vision::Unavailable when the model is missing or cannot be
// loaded, std::invalid_argument when the input is neither of those.
Outputs run(const cv::Mat& input);

}  // namespace FaceModel
