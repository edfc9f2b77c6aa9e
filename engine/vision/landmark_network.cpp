#include "engine/vision/landmark_network.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace LandmarkNetwork {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Weights

struct Tensor {
    std::vector<int> shape;
    std::vector<float> values;
};

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.filename().string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every tensor of the manifest by name, dequantised. Tensors of one group
// lie one after another in the concatenation of the group's shards.
std::map<std::string, Tensor> readTensors(const fs::path& manifestFile) {
    const nlohmann::json manifest = nlohmann::json::parse(readAll(manifestFile));
    if (!manifest.is_array()) throw std::runtime_error("the weights manifest is not a list");
    std::map<std::string, Tensor> tensors;
    for (const auto& group : manifest) {
        std::string bytes;
        for (const auto& shard : group.at("paths")) {
            const fs::path name = shard.get<std::string>();
            if (name.is_absolute() || name.filename() != name) throw std::runtime_error("bad shard name in the manifest");
            bytes += readAll(manifestFile.parent_path() / name);
        }
        std::size_t offset = 0;
        for (const auto& entry : group.at("weights")) {
            Tensor t;
            t.shape = entry.at("shape").get<std::vector<int>>();
            // Every value takes at least one byte of the shards, so a shape whose
            // product passes their size is wrong; checking as the product grows
            // keeps it from wrapping around, and nothing is allocated for it.
            std::size_t count = 1;
            for (int d : t.shape) {
                if (d <= 0) throw std::runtime_error("bad tensor shape in the manifest");
                if (count > bytes.size() / std::size_t(d)) throw std::runtime_error("the weights file is too short");
                count *= std::size_t(d);
            }
            const auto need = [&](std::size_t size) {
                if (bytes.size() - offset < size) throw std::runtime_error("the weights file is too short");
            };
            t.values.resize(count);
            if (entry.contains("quantization")) {
                const auto& q = entry.at("quantization");
                const std::string type = q.at("dtype").get<std::string>();
                const double scale = q.at("scale").get<double>();
                const double minimum = q.at("min").get<double>();
                if (type == "uint8") {
                    need(count);
                    for (std::size_t i = 0; i < count; ++i)
                        t.values[i] = float(std::uint8_t(bytes[offset + i]) * scale + minimum);
                    offset += count;
                } else if (type == "uint16") {
                    need(2 * count);
                    for (std::size_t i = 0; i < count; ++i) {
                        const auto lo = std::uint8_t(bytes[offset + 2 * i]), hi = std::uint8_t(bytes[offset + 2 * i + 1]);
                        t.values[i] = float((lo | hi << 8) * scale + minimum);
                    }
                    offset += 2 * count;
                } else {
                    throw std::runtime_error("unsupported weight quantisation " + type);
                }
            } else {
                if (entry.at("dtype").get<std::string>() != "float32")
                    throw std::runtime_error("unsupported weight type");
                need(4 * count);
                static_assert(sizeof(float) == 4);
                std::memcpy(t.values.data(), bytes.data() + offset, 4 * count);  // little-endian host
                offset += 4 * count;
            }
            tensors[entry.at("name").get<std::string>()] = std::move(t);
        }
    }
    return tensors;
}

std::vector<float> take(std::map<std::string, Tensor>& tensors, const std::string& name,
                        const std::vector<int>& shape) {
    const auto it = tensors.find(name);
    if (it == tensors.end()) throw std::runtime_error("the weights lack " + name);
    if (it->second.shape != shape) throw std::runtime_error("unexpected shape of " + name);
    return std::move(it->second.values);
}

cv::Mat matrix(std::vector<float> values, int rows, int cols) {
    return cv::Mat(rows, cols, CV_32F, values.data()).clone();
}

// ---------------------------------------------------------------------------
// Forward pass. A feature map keeps the channels of one pixel together and
// the pixels row-major, so that a 1 x 1 convolution is one matrix product.
//
// The layer loops are plain C++ written for the compiler to vectorise over
// channels; on x86-64 each also gets an AVX2 variant chosen at run time.

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define LAYER_LOOP __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define LAYER_LOOP
#endif

// A feature map viewing floats of a workspace buffer.
struct Map {
    int height = 0;
    int width = 0;
    int channels = 0;
    float* data = nullptr;

    std::size_t size() const { return std::size_t(height) * width * channels; }
    const float* at(int y, int x) const { return data + (std::size_t(y) * width + x) * channels; }
    float* at(int y, int x) { return data + (std::size_t(y) * width + x) * channels; }
};

// Scratch floats that keep their storage from one pass to the next, so that a
// pass neither allocates nor clears memory once a thread has run one.
class Buffer {
public:
    Map map(int height, int width, int channels) {
        const std::size_t n = std::size_t(height) * width * channels;
        if (n > capacity_) {
            storage_.reset(new float[n]);
            capacity_ = n;
        }
        return {height, width, channels, storage_.get()};
    }

private:
    std::unique_ptr<float[]> storage_;
    std::size_t capacity_ = 0;
};

struct Workspace {
    Buffer input, out1, total, step, rectified, spatial, patches;
};

// "Same" padding as TensorFlow computes it: the output has ceil(size / stride)
// samples and an odd total padding puts the extra sample after the input.
int outputSize(int size, int stride) { return (size + stride - 1) / stride; }
int paddingBefore(int size, int stride) {
    return std::max((outputSize(size, stride) - 1) * stride + 3 - size, 0) / 2;
}

// Eight floats; loads and stores through it need no alignment. The helpers
// are always inlined, so no vector crosses a call (and the note about the AVX
// calling convention does not apply).
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
using Vec = float __attribute__((vector_size(32), aligned(4)));
constexpr int lanes = 8;

// P pixels times N vectors of outputs: out(q, o) = bias(o) + sum over i of
// in(q, i) * w(i, o), the accumulators and one row of w held in registers.
// Pointers are at the first pixel and the first output of the tile; rows of
// `in` are ci apart, rows of w and `out` co apart.
template <int P, int N>
inline __attribute__((always_inline)) void pointwiseTile(const float* in, int ci, const float* w, int co,
                                                         const float* bias, float* out) {
    Vec acc[P][N];
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) acc[q][n] = *reinterpret_cast<const Vec*>(bias + n * lanes);
    for (int i = 0; i < ci; ++i) {
        Vec row[N];
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) row[n] = *reinterpret_cast<const Vec*>(w + std::size_t(i) * co + n * lanes);
#pragma GCC unroll 8
        for (int q = 0; q < P; ++q) {
            const float x = in[std::size_t(q) * ci + i];
            const Vec xv = {x, x, x, x, x, x, x, x};
#pragma GCC unroll 8
            for (int n = 0; n < N; ++n) acc[q][n] += xv * row[n];
        }
    }
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) *reinterpret_cast<Vec*>(out + std::size_t(q) * co + n * lanes) = acc[q][n];
}

// All pixels for N vectors of outputs, three pixels at a time.
template <int N>
inline __attribute__((always_inline)) void pointwiseColumns(const float* in, int count, int ci, const float* w,
                                                            int co, const float* bias, float* out) {
    int p = 0;
    for (; p + 3 <= count; p += 3)
        pointwiseTile<3, N>(in + std::size_t(p) * ci, ci, w, co, bias, out + std::size_t(p) * co);
    for (; p < count; ++p) pointwiseTile<1, N>(in + std::size_t(p) * ci, ci, w, co, bias, out + std::size_t(p) * co);
}

// out(p, o) = bias(o) + sum over i of in(p, i) * w(i, o), for `count` pixels:
// 32 outputs at a time (8 while fewer are left). Output counts that are not a
// multiple of 8 take a plain loop.
LAYER_LOOP void pointwise(const float* in, int count, int ci, const float* w, int co, const float* bias, float* out) {
    if (co % lanes) {
        for (int p = 0; p < count; ++p)
            for (int o = 0; o < co; ++o) {
                float acc = bias[o];
                for (int i = 0; i < ci; ++i) acc += in[std::size_t(p) * ci + i] * w[std::size_t(i) * co + o];
                out[std::size_t(p) * co + o] = acc;
            }
        return;
    }
    int o = 0;
    for (; o + 4 * lanes <= co; o += 4 * lanes) pointwiseColumns<4>(in, count, ci, w + o, co, bias + o, out + o);
    for (; o < co; o += lanes) pointwiseColumns<1>(in, count, ci, w + o, co, bias + o, out + o);
}

// out(y, x, c) = sum over the 3 x 3 window of in * w(ky, kx, c). Eight
// channels at a time with their nine taps held in registers; channel counts
// that are not a multiple of 8 take a plain loop.
LAYER_LOOP void depthwise(const Map& in, const float* filters, int stride, Map& out) {
    const int c = in.channels;
    const int padY = paddingBefore(in.height, stride), padX = paddingBefore(in.width, stride);
    if (c % lanes) {
        for (int oy = 0; oy < out.height; ++oy)
            for (int ox = 0; ox < out.width; ++ox) {
                float* __restrict acc = out.at(oy, ox);
                std::fill(acc, acc + c, 0.0f);
                for (int ky = 0; ky < 3; ++ky) {
                    const int iy = oy * stride + ky - padY;
                    if (iy < 0 || iy >= in.height) continue;
                    for (int kx = 0; kx < 3; ++kx) {
                        const int ix = ox * stride + kx - padX;
                        if (ix < 0 || ix >= in.width) continue;
                        const float* __restrict x = in.at(iy, ix);
                        const float* __restrict w = filters + (ky * 3 + kx) * c;
                        for (int ch = 0; ch < c; ++ch) acc[ch] += x[ch] * w[ch];
                    }
                }
            }
        return;
    }
    for (int n = 0; n < c; n += lanes) {
        Vec k[9];
#pragma GCC unroll 9
        for (int t = 0; t < 9; ++t) k[t] = *reinterpret_cast<const Vec*>(filters + t * c + n);
        for (int oy = 0; oy < out.height; ++oy)
            for (int ox = 0; ox < out.width; ++ox) {
                Vec acc{};
#pragma GCC unroll 3
                for (int ky = 0; ky < 3; ++ky) {
                    const int iy = oy * stride + ky - padY;
                    if (iy < 0 || iy >= in.height) continue;
#pragma GCC unroll 3
                    for (int kx = 0; kx < 3; ++kx) {
                        const int ix = ox * stride + kx - padX;
                        if (ix < 0 || ix >= in.width) continue;
                        acc += *reinterpret_cast<const Vec*>(in.at(iy, ix) + n) * k[ky * 3 + kx];
                    }
                }
                *reinterpret_cast<Vec*>(out.at(oy, ox) + n) = acc;
            }
    }
}

// An ordinary 3 x 3 convolution with bias, from in.channels to conv.out
// channels: each output row's 3 x 3 input patches (zero outside the input)
// are gathered side by side, which makes the row one pointwise product.
void full(const Map& in, const Convolution& conv, int stride, Map& out, Buffer& patchBuffer) {
    const int ci = in.channels, co = conv.out, patch = 9 * ci;
    const int padY = paddingBefore(in.height, stride), padX = paddingBefore(in.width, stride);
    float* patches = patchBuffer.map(1, out.width, patch).data;
    for (int oy = 0; oy < out.height; ++oy) {
        for (int ox = 0; ox < out.width; ++ox) {
            float* p = patches + std::size_t(ox) * patch;
            for (int ky = 0; ky < 3; ++ky) {
                const int iy = oy * stride + ky - padY;
                for (int kx = 0; kx < 3; ++kx, p += ci) {
                    const int ix = ox * stride + kx - padX;
                    if (iy < 0 || iy >= in.height || ix < 0 || ix >= in.width) std::fill(p, p + ci, 0.0f);
                    else std::copy_n(in.at(iy, ix), ci, p);
                }
            }
        }
        pointwise(patches, out.width, patch, conv.filters.data(), co, conv.bias.data(), out.at(oy, 0));
    }
}

void convolve(const Map& in, const Convolution& conv, int stride, Map& out, Workspace& ws) {
    if (conv.separable) {
        Map spatial = ws.spatial.map(out.height, out.width, in.channels);
        depthwise(in, conv.filters.data(), stride, spatial);
        pointwise(spatial.data, out.height * out.width, in.channels, conv.pointwise.ptr<float>(), conv.out,
                  conv.bias.data(), out.data);
    } else {
        full(in, conv, stride, out, ws.patches);
    }
}

void add(Map& total, const Map& step) {
    const std::size_t n = total.size();
    for (std::size_t i = 0; i < n; ++i) total.data[i] += step.data[i];
}

void rectify(const Map& from, Map& to) {
    const std::size_t n = from.size();
    for (std::size_t i = 0; i < n; ++i) to.data[i] = std::max(from.data[i], 0.0f);
}

// Every layer sees the sum of the block's earlier outputs (densely connected):
// out1 = relu(conv0(x)), out2 = conv1(out1), out3 = conv2(relu(out1 + out2)),
// out4 = conv3(relu(out1 + out2 + out3)), result relu(out1 + out2 + out3 + out4).
// The result lives in ws.total.
Map denseBlock(const Map& x, const DenseBlock& block, Workspace& ws) {
    const int h = outputSize(x.height, 2), w = outputSize(x.width, 2), c = block.conv[0].out;
    Map out1 = ws.out1.map(h, w, c);
    convolve(x, block.conv[0], 2, out1, ws);
    rectify(out1, out1);
    Map total = ws.total.map(h, w, c);  // may be x's storage, which is no longer needed
    std::copy_n(out1.data, out1.size(), total.data);
    Map step = ws.step.map(h, w, c);
    convolve(out1, block.conv[1], 1, step, ws);
    add(total, step);
    Map rectified = ws.rectified.map(h, w, c);
    for (int k = 2; k < 4; ++k) {
        rectify(total, rectified);
        convolve(rectified, block.conv[k], 1, step, ws);
        add(total, step);
    }
    rectify(total, total);
    return total;
}

}  // namespace

Weights load(const fs::path& manifestFile) {
    auto tensors = readTensors(manifestFile);
    Weights w;
    int in = 3;
    for (int b = 0; b < 4; ++b) {
        const int out = 32 << b;
        for (int k = 0; k < 4; ++k) {
            Convolution& conv = w.dense[b].conv[k];
            const std::string prefix = "dense" + std::to_string(b) + "/conv" + std::to_string(k) + "/";
            conv.in = k == 0 ? in : out;
            conv.out = out;
            conv.separable = !(b == 0 && k == 0);
            if (conv.separable) {
                conv.filters = take(tensors, prefix + "depthwise_filter", {3, 3, conv.in, 1});
                conv.pointwise = matrix(take(tensors, prefix + "pointwise_filter", {1, 1, conv.in, out}), conv.in, out);
            } else {
                conv.filters = take(tensors, prefix + "filters", {3, 3, conv.in, out});
            }
            conv.bias = take(tensors, prefix + "bias", {out});
        }
        in = out;
    }
    w.fc = matrix(take(tensors, "fc/weights", {256, outputCount}), 256, outputCount);
    w.fcBias = take(tensors, "fc/bias", {outputCount});
    return w;
}

cv::Mat inputFromRGB(const cv::Mat& rgb112) {
    CV_Assert(rgb112.type() == CV_8UC3 && rgb112.rows == inputSize && rgb112.cols == inputSize);
    cv::Mat input;
    rgb112.convertTo(input, CV_32FC3);
    input -= cv::Scalar(meanRGB[0], meanRGB[1], meanRGB[2]);
    input *= 1.0 / 255.0;
    return input;
}

std::array<float, outputCount> forward(const Weights& weights, const cv::Mat& input) {
    CV_Assert(input.type() == CV_32FC3 && input.rows == inputSize && input.cols == inputSize);
    thread_local Workspace ws;
    Map x = ws.input.map(inputSize, inputSize, 3);
    for (int y = 0; y < inputSize; ++y) std::copy_n(input.ptr<float>(y), inputSize * 3, x.at(y, 0));
    for (const DenseBlock& block : weights.dense) x = denseBlock(x, block, ws);

    // The average over the final map, then the fully connected layer.
    const int pixels = x.height * x.width;
    std::vector<float> pooled(x.channels, 0.0f);
    for (int p = 0; p < pixels; ++p)
        for (int c = 0; c < x.channels; ++c) pooled[c] += x.data[std::size_t(p) * x.channels + c];
    for (float& v : pooled) v /= float(pixels);
    std::array<float, outputCount> out{};
    pointwise(pooled.data(), 1, x.channels, weights.fc.ptr<float>(), outputCount, weights.fcBias.data(), out.data());
    return out;
}

}  // namespace LandmarkNetwork
