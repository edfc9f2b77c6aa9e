#include "engine/vision/face_network.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "engine/imaging/vector_loop.h"
#include "engine/vision/onnx_weights.h"

namespace FaceNetwork {

namespace {

// ---------------------------------------------------------------------------
// Weights

// Names of the model's tensors, as its converter wrote them.
const std::string tensorPrefix = "StatefulPartitionedCall/functional_1/";

// "conv2d", "conv2d_1", ...: the converter numbers layers of a kind from the second on.
std::string layerName(const char* kind, int index, const char* tensor) {
    std::string name = tensorPrefix;
    name += kind;
    if (index) {
        name += '_';
        name += std::to_string(index);
    }
    name += tensor;
    return name;
}
std::string depthwiseName(int block) { return layerName("depthwise_conv2d", block, "/depthwise/ReadVariableOp:0"); }
std::string convolutionName(int layer) { return layerName("conv2d", layer, "/Conv2D/ReadVariableOp:0"); }
std::string biasName(int layer) { return layerName("conv2d", layer, "/BiasAdd/ReadVariableOp:0"); }

using Tensors = std::map<std::string, OnnxWeights::Tensor>;

const OnnxWeights::Tensor& find(const Tensors& tensors, const std::string& name,
                                const std::vector<std::int64_t>& shape) {
    const auto it = tensors.find(name);
    if (it == tensors.end()) throw std::runtime_error("the model lacks " + name);
    if (it->second.shape != shape) throw std::runtime_error("unexpected shape of " + name);
    return it->second;
}

// A convolution kernel stored [out][in][ky][kx], reordered to [ky][kx][in][out].
std::vector<float> kernel(const Tensors& tensors, const std::string& name, int out, int in, int size) {
    const auto& t = find(tensors, name, {out, in, size, size});
    std::vector<float> reordered(t.values.size());
    for (int o = 0; o < out; ++o)
        for (int i = 0; i < in; ++i)
            for (int ky = 0; ky < size; ++ky)
                for (int kx = 0; kx < size; ++kx)
                    reordered[((std::size_t(ky) * size + kx) * in + i) * out + o] =
                        t.values[((std::size_t(o) * in + i) * size + ky) * size + kx];
    return reordered;
}

std::vector<float> bias(const Tensors& tensors, const std::string& name, int out) {
    return find(tensors, name, {out}).values;
}

// Channels leaving block i: 24 up to the second halving, 48 up to the third, 96 after.
int blockOutput(int i) { return i < 15 ? 24 : i < 23 ? 48 : 96; }
bool halves(int i) { return i % 8 == 7; }

Head head(const Tensors& tensors, int layer, int out) {
    Head h;
    h.in = 96;
    h.out = out;
    h.weights = kernel(tensors, convolutionName(layer), out, h.in, 1);
    h.bias = bias(tensors, biasName(layer), out);
    return h;
}

// ---------------------------------------------------------------------------
// Kernels. Each layer loop is plain C++ over fixed channel counts, written
// for the compiler to keep the accumulators in vector registers; on x86-64
// each also gets an AVX2 variant chosen at run time
// (`VECTOR_LOOP`, the engine's one rule: FMA stays off).

#if defined(__GNUC__)
// The vector helpers are always inlined, so no vector crosses a call and the
// note about the AVX calling convention does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ALWAYS_INLINE inline
#endif

// Eight floats; loads and stores through it need no alignment.
using Vec = float __attribute__((vector_size(32), aligned(4)));
constexpr int lanes = 8;

ALWAYS_INLINE Vec load(const float* p) { return *reinterpret_cast<const Vec*>(p); }
ALWAYS_INLINE void store(float* p, Vec v) { *reinterpret_cast<Vec*>(p) = v; }
ALWAYS_INLINE Vec broadcast(float x) { return Vec{x, x, x, x, x, x, x, x}; }
ALWAYS_INLINE Vec rectified(Vec v) {
    const Vec zero{};
    return v > zero ? v : zero;
}

// A feature map with a border of one zero pixel all round; (y, x) may run
// from -1 to height (width). The border is never written.
struct Map {
    int height = 0;
    int width = 0;
    int channels = 0;
    float* data = nullptr;

    float* at(int y, int x) const { return data + ((std::size_t(y) + 1) * (width + 2) + (x + 1)) * channels; }
    static std::size_t storage(int height, int width, int channels) {
        return std::size_t(height + 2) * (width + 2) * channels;
    }
};

// The input picture with the stem's "same" padding: one zero row and column
// before, two after.
constexpr int inputStride = inputSize + 3;

// out(p, o) = bias(o) + residual(p, o) + sum over i of in(p, i) * w(i, o), for
// `count` pixels, optionally rectified. `residual` may be null. P pixels
// share each row of w.
template <int CI, int CO, int P, bool Relu>
ALWAYS_INLINE void pointwiseStep(const float* in, const float* w, const float* b, const float* residual, float* out) {
    constexpr int N = CO / lanes;
    Vec acc[P][N];
#pragma GCC unroll 16
    for (int q = 0; q < P; ++q)
#pragma GCC unroll 16
        for (int n = 0; n < N; ++n) acc[q][n] = load(b + n * lanes) + (residual ? load(residual + q * CO + n * lanes) : Vec{});
    for (int i = 0; i < CI; ++i) {
        Vec row[N];
#pragma GCC unroll 16
        for (int n = 0; n < N; ++n) row[n] = load(w + i * CO + n * lanes);
#pragma GCC unroll 16
        for (int q = 0; q < P; ++q) {
            const Vec x = broadcast(in[q * CI + i]);
#pragma GCC unroll 16
            for (int n = 0; n < N; ++n) acc[q][n] += x * row[n];
        }
    }
#pragma GCC unroll 16
    for (int q = 0; q < P; ++q)
#pragma GCC unroll 16
        for (int n = 0; n < N; ++n) store(out + q * CO + n * lanes, Relu ? rectified(acc[q][n]) : acc[q][n]);
}

// out(p, o) = bias(o) + residual(p, o) + sum over i of in(p, i) * w(i, o), for
// `count` pixels, optionally rectified. `residual` may be null. P pixels
// share each row of w.
template <int CI, int CO, int P, bool Relu>
ALWAYS_INLINE void pointwise(const float* in, int count, const float* w, const float* b, const float* residual,
                             float* out) {
    static_assert(CO % lanes == 0);
    int p = 0;
    for (; p + P <= count; p += P)
        pointwiseStep<CI, CO, P, Relu>(in + p * CI, w, b, residual ? residual + p * CO : nullptr, out + p * CO);
    for (; p < count; ++p)
        pointwiseStep<CI, CO, 1, Relu>(in + p * CI, w, b, residual ? residual + p * CO : nullptr, out + p * CO);
}

// The same product for outputs too few to fill a vector (the score heads).
ALWAYS_INLINE void pointwiseNarrow(const float* in, int count, int ci, const float* w, int co, const float* b,
                                   float* out) {
    for (int p = 0; p < count; ++p)
        for (int o = 0; o < co; ++o) {
            float acc = b[o];
            for (int i = 0; i < ci; ++i) acc += in[p * ci + i] * w[i * co + o];
            out[p * co + o] = acc;
        }
}

// One output row of a 3 x 3 depthwise convolution. With stride 1 the window
// is centred on the output pixel; with stride 2 it starts at twice the output
// position (padding only after the input, as for an even-sized input).
// Eight channels at a time, their nine filter taps held in registers, two
// output pixels per step sharing the input columns they overlap on.
template <int C, int S>
ALWAYS_INLINE void depthwiseRow(const Map& in, int oy, int outWidth, const float* w, float* out) {
    constexpr int N = C / lanes;
    const int y0 = S == 1 ? oy - 1 : 2 * oy;
    const int x0 = S == 1 ? -1 : 0;
    const float* rows[3] = {in.at(y0, x0), in.at(y0 + 1, x0), in.at(y0 + 2, x0)};
    for (int n = 0; n < N; ++n) {
        Vec k[9];
#pragma GCC unroll 9
        for (int t = 0; t < 9; ++t) k[t] = load(w + t * C + n * lanes);
        int ox = 0;
        for (; ox + 2 <= outWidth; ox += 2) {
            Vec a0{}, a1{};
#pragma GCC unroll 3
            for (int ky = 0; ky < 3; ++ky) {
                const float* r = rows[ky] + S * ox * C + n * lanes;
                const Vec v0 = load(r), v1 = load(r + C), v2 = load(r + 2 * C);
                a0 += v0 * k[3 * ky] + v1 * k[3 * ky + 1] + v2 * k[3 * ky + 2];
                if constexpr (S == 1) {
                    const Vec v3 = load(r + 3 * C);
                    a1 += v1 * k[3 * ky] + v2 * k[3 * ky + 1] + v3 * k[3 * ky + 2];
                } else {
                    const Vec v3 = load(r + 3 * C), v4 = load(r + 4 * C);
                    a1 += v2 * k[3 * ky] + v3 * k[3 * ky + 1] + v4 * k[3 * ky + 2];
                }
            }
            store(out + ox * C + n * lanes, a0);
            store(out + (ox + 1) * C + n * lanes, a1);
        }
        for (; ox < outWidth; ++ox) {
            Vec a{};
            for (int ky = 0; ky < 3; ++ky) {
                const float* r = rows[ky] + S * ox * C + n * lanes;
                a += load(r) * k[3 * ky] + load(r + C) * k[3 * ky + 1] + load(r + 2 * C) * k[3 * ky + 2];
            }
            store(out + ox * C + n * lanes, a);
        }
    }
}

// Pixels per step of a pointwise product: as many as keep the accumulators,
// one row of weights and the broadcast input within 16 vector registers
// (3 x 3 + 3 + 1 for 24 outputs; wider outputs go one pixel at a time).
template <int CO>
constexpr int pixelsPerStep = CO <= 24 ? 3 : 1;

// A residual block at stride 1: out = relu(in + pointwise(depthwise(in)) + bias).
template <int C>
VECTOR_LOOP void sameSizeBlock(const Map& in, const Block& block, float* scratch, Map& out) {
    for (int y = 0; y < in.height; ++y) {
        depthwiseRow<C, 1>(in, y, in.width, block.depthwise.data(), scratch);
        pointwise<C, C, pixelsPerStep<C>, true>(scratch, in.width, block.pointwise.data(), block.bias.data(),
                                                in.at(y, 0), out.at(y, 0));
    }
}

// A block that halves the resolution: out = relu(residual + pointwise(depthwise
// at stride 2) + bias), the residual being the 2 x 2 maximum of the input with
// zero channels added, or nothing.
template <int CI, int CO>
VECTOR_LOOP void halvingBlock(const Map& in, const Block& block, float* scratch, float* residual, Map& out) {
    for (int y = 0; y < out.height; ++y) {
        depthwiseRow<CI, 2>(in, y, out.width, block.depthwise.data(), scratch);
        if (block.residual) {
            for (int x = 0; x < out.width; ++x) {
                const float* a = in.at(2 * y, 2 * x);
                const float* b = a + CI;
                const float* c = in.at(2 * y + 1, 2 * x);
                const float* d = c + CI;
                float* r = residual + x * CO;
                for (int i = 0; i < CI; ++i) r[i] = std::max(std::max(a[i], b[i]), std::max(c[i], d[i]));
                std::fill(r + CI, r + CO, 0.0f);
            }
        }
        pointwise<CI, CO, pixelsPerStep<CO>, true>(scratch, out.width, block.pointwise.data(), block.bias.data(),
                                                   block.residual ? residual : nullptr, out.at(y, 0));
    }
}

// The first layer: a 5 x 5 convolution at stride 2 from 3 to 24 channels,
// rectified. Each output row's 5 x 5 x 3 input patches are gathered side by
// side, which makes the row one pointwise product of 75 inputs.
VECTOR_LOOP void stem(const float* input, const float* w, const float* b, float* patches, Map& out) {
    constexpr int patch = 5 * 5 * 3;
    for (int oy = 0; oy < out.height; ++oy) {
        for (int ox = 0; ox < out.width; ++ox)
            for (int ky = 0; ky < 5; ++ky)
                std::memcpy(patches + ox * patch + ky * 15, input + (std::size_t(2 * oy + ky) * inputStride + 2 * ox) * 3,
                            15 * sizeof(float));
        pointwise<patch, stemChannels, pixelsPerStep<stemChannels>, true>(patches, out.width, w, b, nullptr,
                                                                          out.at(oy, 0));
    }
}

// The heads on one map: scores (narrow) and regressors, pixel by pixel in row order.
template <int CO>
VECTOR_LOOP void heads(const Map& in, const Head& scoresHead, const Head& regressorsHead, float* scores,
                      float* regressors) {
    for (int y = 0; y < in.height; ++y) {
        const std::size_t first = std::size_t(y) * in.width;
        pointwiseNarrow(in.at(y, 0), in.width, in.channels, scoresHead.weights.data(), scoresHead.out,
                        scoresHead.bias.data(), scores + first * scoresHead.out);
        pointwise<96, CO, 1, false>(in.at(y, 0), in.width, regressorsHead.weights.data(), regressorsHead.bias.data(),
                                    nullptr, regressors + first * CO);
    }
}

// Scratch memory of one thread, kept from one pass to the next. Allocated
// zeroed once; only map interiors are ever written, so borders stay zero.
struct Workspace {
    std::vector<float> input = std::vector<float>(std::size_t(inputStride) * inputStride * 3, 0.0f);
    // Two maps per resolution, 128 x 128 down to 8 x 8.
    std::vector<float> storage[5][2];
    Map maps[5][2];
    std::vector<float> scratch = std::vector<float>(128 * 96, 0.0f);
    std::vector<float> residual = std::vector<float>(128 * 96, 0.0f);

    Workspace() {
        const int channels[5] = {24, 24, 48, 96, 96};
        for (int level = 0; level < 5; ++level) {
            const int size = 128 >> level;
            for (int k = 0; k < 2; ++k) {
                storage[level][k].assign(Map::storage(size, size, channels[level]), 0.0f);
                maps[level][k] = Map{size, size, channels[level], storage[level][k].data()};
            }
        }
    }
};

}  // namespace

Weights load(const std::filesystem::path& modelFile) {
    const Tensors tensors = OnnxWeights::read(modelFile);
    Weights w;
    w.stem = kernel(tensors, convolutionName(0), stemChannels, 3, 5);
    w.stemBias = bias(tensors, biasName(0), stemChannels);
    int channels = stemChannels;
    for (int i = 0; i < blockCount; ++i) {
        Block b;
        b.in = channels;
        b.out = blockOutput(i);
        b.stride = halves(i) ? 2 : 1;
        b.residual = i != blockCount - 1;
        b.depthwise = kernel(tensors, depthwiseName(i), b.in, 1, 3);
        b.pointwise = kernel(tensors, convolutionName(i + 1), b.out, b.in, 1);
        b.bias = bias(tensors, biasName(i + 1), b.out);
        channels = b.out;
        w.blocks.push_back(std::move(b));
    }
    w.fineScores = head(tensors, 33, 2);
    w.fineRegressors = head(tensors, 35, 2 * regressorWidth);
    w.coarseScores = head(tensors, 34, 6);
    w.coarseRegressors = head(tensors, 36, 6 * regressorWidth);
    return w;
}

namespace {

void checkSizes(const Weights& weights, std::span<float> scores, std::span<float> regressors) {
    if (scores.size() != std::size_t(anchorCount) || regressors.size() != std::size_t(anchorCount) * regressorWidth ||
        weights.blocks.size() != blockCount)
        throw std::invalid_argument("face network: wrong buffer sizes");
}

// This thread's scratch memory.
Workspace& workspace() {
    thread_local Workspace ws;
    return ws;
}

// The pass from the input already in ws.input.
void run(const Weights& weights, Workspace& ws, std::span<float> scores, std::span<float> regressors) {
    stem(ws.input.data(), weights.stem.data(), weights.stemBias.data(), ws.scratch.data(), ws.maps[0][0]);

    int level = 0, current = 0;
    for (int i = 0; i < blockCount; ++i) {
        const Block& b = weights.blocks[i];
        const Map& in = ws.maps[level][current];
        if (b.stride == 1) {
            Map& out = ws.maps[level][1 - current];
            switch (b.in) {
            case 24: sameSizeBlock<24>(in, b, ws.scratch.data(), out); break;
            case 48: sameSizeBlock<48>(in, b, ws.scratch.data(), out); break;
            default: sameSizeBlock<96>(in, b, ws.scratch.data(), out); break;
            }
            current = 1 - current;
        } else {
            Map& out = ws.maps[level + 1][0];
            if (b.in == 24 && b.out == 24) halvingBlock<24, 24>(in, b, ws.scratch.data(), ws.residual.data(), out);
            else if (b.in == 24) halvingBlock<24, 48>(in, b, ws.scratch.data(), ws.residual.data(), out);
            else if (b.in == 48) halvingBlock<48, 96>(in, b, ws.scratch.data(), ws.residual.data(), out);
            else halvingBlock<96, 96>(in, b, ws.scratch.data(), ws.residual.data(), out);
            ++level;
            current = 0;
        }
        // The 16 x 16 map leaving the last block before the final halving feeds the fine heads.
        if (i == blockCount - 2)
            heads<2 * regressorWidth>(ws.maps[level][current], weights.fineScores, weights.fineRegressors,
                                      scores.data(), regressors.data());
    }
    heads<6 * regressorWidth>(ws.maps[level][current], weights.coarseScores, weights.coarseRegressors,
                              scores.data() + 16 * 16 * 2, regressors.data() + 16 * 16 * 2 * regressorWidth);
}

}  // namespace

void forward(const Weights& weights, std::span<const float> input, std::span<float> scores,
             std::span<float> regressors) {
    checkSizes(weights, scores, regressors);
    if (input.size() != std::size_t(inputSize) * inputSize * 3)
        throw std::invalid_argument("face network: wrong input size");
    Workspace& ws = workspace();
    for (int y = 0; y < inputSize; ++y)
        std::memcpy(ws.input.data() + (std::size_t(y + 1) * inputStride + 1) * 3,
                    input.data() + std::size_t(y) * inputSize * 3, sizeof(float) * inputSize * 3);
    run(weights, ws, scores, regressors);
}

void forwardRGB(const Weights& weights, const std::uint8_t* rgb, std::size_t rowBytes, std::span<float> scores,
                std::span<float> regressors) {
    checkSizes(weights, scores, regressors);
    Workspace& ws = workspace();
    for (int y = 0; y < inputSize; ++y) {
        const std::uint8_t* from = rgb + std::size_t(y) * rowBytes;
        float* to = ws.input.data() + (std::size_t(y + 1) * inputStride + 1) * 3;
        for (int i = 0; i < inputSize * 3; ++i) to[i] = float(from[i]) * (1.0f / 127.5f) - 1.0f;
    }
    run(weights, ws, scores, regressors);
}

}  // namespace FaceNetwork
