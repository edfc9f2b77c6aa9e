#pragma once
// face-api.js's SSD MobileNet V1 face detector (MIT licence, trained on WIDER
// FACE), run with our own layer loops (engine/vision/network_layers.h), its
// weights read from the TensorFlow.js manifest of the face-api.js package.
//
// Shape: MobileNet V1 (a 3 x 3 stride-2 convolution to 32 channels, then 13
// depthwise-separable pairs up to 1024 channels at a sixteenth and a
// thirty-second of the input, every activation clipped to [0, 6]), then four
// extra pairs of 1 x 1 and 3 x 3 stride-2 convolutions. Six box predictors (1 x
// 1 convolutions) read the maps at strides 16, 32, 64, 128, 256 and 512: three
// anchors per cell on the first, six on the others; each anchor gets a score
// and a box encoded against it.
//
// The network is fully convolutional: any square input whose side is a
// multiple of 32 works, the anchor grids following its size. It was trained
// at trainedSide x trainedSide, and its box encodings are relative to anchors
// of a fixed size in input pixels: a face is found best when it is about 60
// to 200 input pixels wide, whatever the input's side.
//
// A loaded Weights value is never changed; any number of threads may run
// forward passes on it at once (each thread keeps its own scratch maps).

#include <array>
#include <cstdint>
#include <filesystem>
#include <vector>

namespace SsdNetwork {

inline constexpr const char* manifestFileName = "ssd_mobilenetv1_model-weights_manifest.json";
inline constexpr const char* weightsFileName = "ssd_mobilenetv1_model.bin";

inline constexpr int trainedSide = 512;

// A convolution with its batch normalisation folded in: filters in the
// TensorFlow layout ([ky][kx][in][out], depthwise [ky][kx][channel]), bias.
struct Layer {
    int in = 0;
    int out = 0;
    std::vector<float> filters;
    std::vector<float> bias;
};

// One box predictor: a 1 x 1 convolution to 4 box values per anchor and one
// to 3 class values per anchor (background, face, unused).
struct Predictor {
    int anchorsPerCell = 0;
    Layer boxes;
    Layer classes;
};

struct Weights {
    Layer stem;                          // 3 x 3, 3 -> 32, stride 2
    std::array<Layer, 13> depthwise;     // pair k: 3 x 3 depthwise
    std::array<Layer, 13> pointwise;     // pair k: 1 x 1
    std::array<Layer, 8> extra;          // 1 x 1, 3 x 3 stride 2, alternately
    std::array<Predictor, 6> predictors;
};

// Reads the manifest and the shard it names (in the manifest's folder).
// Throws std::runtime_error when a file is missing or short, or a tensor is
// absent or has an unexpected shape.
Weights load(const std::filesystem::path& manifestFile);

// An anchor box, fractions of the input: centre and size.
struct Anchor {
    float cy = 0, cx = 0, h = 0, w = 0;
};

// The anchors of a side x side input, in output order: the grids of strides
// 16 to 512 (sides ceil(side / stride)), each row by row, the anchors of a cell
// in turn. The first grid has three anchors per cell (scale 0.1 square, 0.2
// at aspect ratios 2 and 1/2); grid k = 1 ... 5 has scale s = 0.2 + 0.15 k:
// s square, sqrt(s s') square (s' the next grid's scale, 1 after the last),
// then s at aspect ratios 2, 1/2, 3 and 1/3. A box of scale s and ratio r is
// s sqrt(r) wide and s / sqrt(r) high in units of trainedSide input pixels (at
// side 512 exactly the anchors stored with the model).
std::vector<Anchor> anchors(int side);

// A detection, fractions of the input, origin top-left, y down.
struct Box {
    float xMin = 0, yMin = 0, xMax = 0, yMax = 0;
    float score = 0;  // the network's face probability
};

// One forward pass over a side x side 8-bit RGB picture (rows rowBytes apart,
// each byte b taken as b / 127.5 - 1); side a multiple of 32. Returns every
// anchor's box whose score is at least minScore, in anchor order.
std::vector<Box> detect(const Weights& weights, const std::uint8_t* rgb, std::size_t rowBytes, int side,
                        float minScore);

}  // namespace SsdNetwork
