#pragma once
// The 68-point face landmark network: its weights, read from a TensorFlow.js
// weights manifest and its binary shards, and one forward pass.
//
// Input: a 112 x 112 RGB face crop. Body: four dense blocks of 32, 64, 128
// and 256 channels, each halving the resolution; head: the average over the
// final 7 x 7 map and one fully connected layer giving 68 (x, y) pairs as
// fractions of the crop.
//
// A loaded Weights value is never changed, so any number of threads may run
// forward passes on it at once.

#include <array>
#include <filesystem>
#include <vector>

#include <opencv2/core.hpp>

namespace LandmarkNetwork {

inline constexpr int inputSize = 112;
inline constexpr int outputCount = 136;

// Per-channel means subtracted from the 0-255 input, in R, G, B order.
inline constexpr float meanRGB[3] = {122.782f, 117.001f, 104.298f};

// A 3 x 3 convolution followed by a bias; depthwise-separable ones also
// carry a 1 x 1 pointwise matrix. Kernels keep the TensorFlow layout:
// full filters [ky][kx][in][out], depthwise filters [ky][kx][channel].
struct Convolution {
    int in = 0;
    int out = 0;
    bool separable = true;
    std::vector<float> filters;  // 9 * in * out (full) or 9 * in (depthwise)
    cv::Mat pointwise;           // in x out, CV_32F (separable only)
    std::vector<float> bias;     // out
};

struct DenseBlock {
    std::array<Convolution, 4> conv;
};

struct Weights {
    std::array<DenseBlock, 4> dense;
    cv::Mat fc;              // 256 x 136, CV_32F
    std::vector<float> fcBias;  // 136
};

// Reads `manifestFile` and the shards it names (relative to its folder).
// Throws std::runtime_error when a file is missing or short, or a tensor is
// absent or has an unexpected shape.
Weights load(const std::filesystem::path& manifestFile);

// The network input from a 112 x 112 8-bit RGB crop: ((v - mean) / 255) per sample.
cv::Mat inputFromRGB(const cv::Mat& rgb112);

// One forward pass over a 112 x 112 CV_32FC3 input made by inputFromRGB.
// The result holds x0, y0, x1, y1 ... as fractions of the input square.
std::array<float, outputCount> forward(const Weights& weights, const cv::Mat& input);

}  // namespace LandmarkNetwork
