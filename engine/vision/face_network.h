#pragma once
// The face detection network run with our own kernels: MediaPipe's BlazeFace
// full-range ("back") model, its weights taken from the ONNX file.
//
// Shape: a 5 x 5 stride-2 convolution to 128 x 128 x 24, then 32 residual
// blocks (each a depthwise 3 x 3 convolution, a pointwise 1 x 1 convolution
// with bias, the block's input added, a ReLU), where every eighth block
// halves the resolution (its residual is a 2 x 2 max-pool, padded with zero
// channels when the block widens) — 24 channels at 128 and 64, 48 at 32, 96
// at 16 and 8; the last block, down to 8 x 8, has no residual. Two 1 x 1
// heads on the 16 x 16 map give scores and regressors for 2 anchors per
// cell, two on the 8 x 8 map for 6 anchors per cell.
//
// Feature maps keep the channels of a pixel together and pixels row-major,
// so a 1 x 1 convolution is a small matrix product per pixel.
//
// A loaded Weights value is never changed; any number of threads may run
// forward passes on it at once (each thread keeps its own scratch maps).

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

namespace FaceNetwork {

inline constexpr int inputSize = 256;
inline constexpr int stemChannels = 24;

// One residual block: depthwise filters [ky][kx][channel] (3 x 3 x in),
// pointwise matrix [in][out], bias [out].
struct Block {
    int in = 0;
    int out = 0;
    int stride = 1;
    bool residual = true;
    std::vector<float> depthwise;
    std::vector<float> pointwise;
    std::vector<float> bias;
};

// A 1 x 1 output convolution: matrix [in][out], bias [out].
struct Head {
    int in = 0;
    int out = 0;
    std::vector<float> weights;
    std::vector<float> bias;
};

struct Weights {
    std::vector<float> stem;      // [ky][kx][in][out], 5 x 5 x 3 x 24
    std::vector<float> stemBias;  // 24
    std::vector<Block> blocks;    // 32, in order
    Head fineScores, fineRegressors, coarseScores, coarseRegressors;
};

inline constexpr int blockCount = 32;

// Reads the weights from the model file. Throws std::runtime_error when the
// file cannot be read, is not an ONNX model, or lacks a tensor of the
// expected name and shape.
Weights load(const std::filesystem::path& modelFile);

// Output sizes: scores are one per anchor, regressors 16 per anchor, the 512
// anchors of the 16 x 16 grid first, then the 384 of the 8 x 8 grid.
inline constexpr int anchorCount = 16 * 16 * 2 + 8 * 8 * 6;
inline constexpr int regressorWidth = 16;

// One forward pass. `input` is a continuous 256 x 256 x 3 float picture
// (RGB, values in [-1, 1], row-major); `scores` must hold anchorCount values
// and `regressors` anchorCount * regressorWidth.
void forward(const Weights& weights, std::span<const float> input, std::span<float> scores,
             std::span<float> regressors);

// The same pass on a 256 x 256 8-bit RGB picture (rows `rowBytes` apart),
// each byte b taken as b / 127.5 - 1.
void forwardRGB(const Weights& weights, const std::uint8_t* rgb, std::size_t rowBytes, std::span<float> scores,
                std::span<float> regressors);

}  // namespace FaceNetwork
