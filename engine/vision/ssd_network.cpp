#include "engine/vision/ssd_network.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "engine/vision/network_layers.h"
#include "engine/vision/tfjs_weights.h"

namespace SsdNetwork {

namespace {

using NetworkLayers::Buffer;
using NetworkLayers::Map;
using NetworkLayers::outputSize;
using Tensors = std::map<std::string, TfjsWeights::Tensor>;

// Channels leaving pair k (1 to 13) of MobileNet V1, and whether its
// depthwise convolution halves the resolution.
constexpr int pairChannels[14] = {32, 64, 128, 128, 256, 256, 512, 512, 512, 512, 512, 512, 1024, 1024};
bool halving(int pair) { return pair == 2 || pair == 4 || pair == 6 || pair == 12; }

// The extra layers: output channels and kernel size, in order.
constexpr int extraChannels[8] = {256, 512, 128, 256, 128, 256, 64, 128};

// Epsilon of the batch normalisations.
constexpr float normEpsilon = 0.0010000000474974513f;

// Clipping of every activation (ReLU6).
constexpr float activationLimit = 6.0f;

Layer convolution(Tensors& t, const std::string& prefix, int size, int in, int out) {
    Layer l;
    l.in = in;
    l.out = out;
    l.filters = TfjsWeights::take(t, prefix + "/weights", {size, size, in, out});
    l.bias = TfjsWeights::take(t, prefix + "/convolution_bn_offset", {out});
    return l;
}

// A depthwise convolution followed by batch normalisation, folded into one
// filter scale and one bias per channel.
Layer depthwise(Tensors& t, const std::string& prefix, int channels) {
    Layer l;
    l.in = l.out = channels;
    l.filters = TfjsWeights::take(t, prefix + "/depthwise_weights", {3, 3, channels, 1});
    const auto gamma = TfjsWeights::take(t, prefix + "/BatchNorm/gamma", {channels});
    const auto beta = TfjsWeights::take(t, prefix + "/BatchNorm/beta", {channels});
    const auto mean = TfjsWeights::take(t, prefix + "/BatchNorm/moving_mean", {channels});
    const auto variance = TfjsWeights::take(t, prefix + "/BatchNorm/moving_variance", {channels});
    l.bias.resize(channels);
    for (int c = 0; c < channels; ++c) {
        const float scale = gamma[c] / std::sqrt(variance[c] + normEpsilon);
        for (int tap = 0; tap < 9; ++tap) l.filters[std::size_t(tap) * channels + c] *= scale;
        l.bias[c] = beta[c] - mean[c] * scale;
    }
    return l;
}

Layer predictorLayer(Tensors& t, const std::string& prefix, int in, int out) {
    Layer l;
    l.in = in;
    l.out = out;
    l.filters = TfjsWeights::take(t, prefix + "/weights", {1, 1, in, out});
    l.bias = TfjsWeights::take(t, prefix + "/biases", {out});
    return l;
}

// Scratch memory of one thread, kept from one pass to the next.
struct Workspace {
    Buffer input, a, b, spatial, patches, boxes, classes;
};

// A 1 x 1 convolution with bias, clipped.
void pointwiseLayer(const Map& in, const Layer& layer, Map& out) {
    NetworkLayers::pointwise(in.data, in.height * in.width, in.channels, layer.filters.data(), layer.out,
                             layer.bias.data(), out.data);
    NetworkLayers::clamp(out, 0, activationLimit);
}

float sigmoid(float v) { return 1.0f / (1.0f + std::exp(-v)); }

// The boxes of one predictor over the map `in`, its anchors starting at `first`.
void predict(const Map& in, const Predictor& p, const std::vector<Anchor>& anchors, std::size_t first,
             float minScore, Workspace& ws, std::vector<Box>& out) {
    const int pixels = in.height * in.width;
    Map classes = ws.classes.map(in.height, in.width, p.classes.out);
    NetworkLayers::pointwise(in.data, pixels, in.channels, p.classes.filters.data(), p.classes.out,
                             p.classes.bias.data(), classes.data);
    Map boxes = ws.boxes.map(in.height, in.width, p.boxes.out);
    NetworkLayers::pointwise(in.data, pixels, in.channels, p.boxes.filters.data(), p.boxes.out,
                             p.boxes.bias.data(), boxes.data);
    for (int px = 0; px < pixels; ++px)
        for (int k = 0; k < p.anchorsPerCell; ++k) {
            const float score = sigmoid(classes.data[std::size_t(px) * p.classes.out + 3 * k + 1]);
            if (!(score >= minScore)) continue;
            const std::size_t index = first + std::size_t(px) * p.anchorsPerCell + k;
            if (index >= anchors.size()) continue;
            const Anchor& a = anchors[index];
            const float* e = boxes.data + std::size_t(px) * p.boxes.out + 4 * k;
            const float cy = e[0] / 10 * a.h + a.cy, cx = e[1] / 10 * a.w + a.cx;
            const float h = std::exp(e[2] / 5) * a.h, w = std::exp(e[3] / 5) * a.w;
            out.push_back({cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2, score});
        }
}

}  // namespace

Weights load(const std::filesystem::path& manifestFile) {
    Tensors t = TfjsWeights::read(manifestFile);
    Weights w;
    w.stem = convolution(t, "MobilenetV1/Conv2d_0_pointwise", 3, 3, pairChannels[0]);
    for (int k = 1; k <= 13; ++k) {
        const std::string name = "MobilenetV1/Conv2d_" + std::to_string(k);
        w.depthwise[k - 1] = depthwise(t, name + "_depthwise", pairChannels[k - 1]);
        w.pointwise[k - 1] = convolution(t, name + "_pointwise", 1, pairChannels[k - 1], pairChannels[k]);
    }
    int channels = pairChannels[13];
    for (int k = 0; k < 8; ++k) {
        w.extra[k] = convolution(t, "Prediction/Conv2d_" + std::to_string(k) + "_pointwise", k % 2 ? 3 : 1, channels,
                                 extraChannels[k]);
        channels = extraChannels[k];
    }
    const int predictorInput[6] = {512, 1024, 512, 256, 256, 128};
    for (int k = 0; k < 6; ++k) {
        Predictor& p = w.predictors[k];
        p.anchorsPerCell = k == 0 ? 3 : 6;
        const std::string name = "Prediction/BoxPredictor_" + std::to_string(k);
        p.boxes = predictorLayer(t, name + "/BoxEncodingPredictor", predictorInput[k], 4 * p.anchorsPerCell);
        p.classes = predictorLayer(t, name + "/ClassPredictor", predictorInput[k], 3 * p.anchorsPerCell);
    }
    return w;
}

std::vector<Anchor> anchors(int side) {
    std::vector<Anchor> out;
    int grid = outputSize(side, 16);
    constexpr float ratios[5] = {1.0f, 2.0f, 0.5f, 3.0f, 0.3333f};
    for (int k = 0; k < 6; ++k, grid = outputSize(grid, 2)) {
        std::vector<std::pair<float, float>> shapes;  // scale, aspect ratio
        if (k == 0) {
            shapes = {{0.1f, 1.0f}, {0.2f, 2.0f}, {0.2f, 0.5f}};
        } else {
            const float scale = 0.2f + 0.15f * float(k), next = k == 5 ? 1.0f : scale + 0.15f;
            shapes = {{scale, ratios[0]}, {std::sqrt(scale * next), 1.0f}};
            for (int r = 1; r < 5; ++r) shapes.push_back({scale, ratios[r]});
        }
        for (int y = 0; y < grid; ++y)
            for (int x = 0; x < grid; ++x)
                for (const auto& [scale, ratio] : shapes) {
                    const float root = std::sqrt(ratio), size = scale * float(trainedSide) / float(side);
                    out.push_back({(y + 0.5f) / grid, (x + 0.5f) / grid, size / root, size * root});
                }
    }
    return out;
}

std::vector<Box> detect(const Weights& w, const std::uint8_t* rgb, std::size_t rowBytes, int side, float minScore) {
    if (side <= 0 || side % 32) throw std::invalid_argument("SSD input side must be a multiple of 32");
    thread_local Workspace ws;
    const std::vector<Anchor> grid = anchors(side);
    std::vector<Box> found;

    Map x = ws.input.map(side, side, 3);
    for (int y = 0; y < side; ++y) {
        const std::uint8_t* row = rgb + std::size_t(y) * rowBytes;
        float* to = x.at(y, 0);
        for (int i = 0; i < 3 * side; ++i) to[i] = row[i] / 127.5f - 1.0f;
    }

    // Two maps in turn: `cur` is read, the other written.
    Buffer* buffers[2] = {&ws.a, &ws.b};
    int next = 0;
    const auto fresh = [&](int h, int wd, int c) { return buffers[next ^= 1]->map(h, wd, c); };

    Map cur = fresh(outputSize(side, 2), outputSize(side, 2), pairChannels[0]);
    NetworkLayers::full(x, w.stem.filters.data(), w.stem.bias.data(), 2, cur, ws.patches);
    NetworkLayers::clamp(cur, 0, activationLimit);

    std::size_t first = 0;
    for (int k = 1; k <= 13; ++k) {
        const int stride = halving(k) ? 2 : 1;
        Map spatial = ws.spatial.map(outputSize(cur.height, stride), outputSize(cur.width, stride), cur.channels);
        NetworkLayers::depthwise(cur, w.depthwise[k - 1].filters.data(), stride, spatial);
        NetworkLayers::biasAndClamp(spatial, w.depthwise[k - 1].bias.data(), 0, activationLimit);
        Map out = fresh(spatial.height, spatial.width, pairChannels[k]);
        pointwiseLayer(spatial, w.pointwise[k - 1], out);
        cur = out;
        if (k == 11) {
            predict(cur, w.predictors[0], grid, first, minScore, ws, found);
            first += std::size_t(cur.height) * cur.width * w.predictors[0].anchorsPerCell;
        }
    }
    predict(cur, w.predictors[1], grid, first, minScore, ws, found);
    first += std::size_t(cur.height) * cur.width * w.predictors[1].anchorsPerCell;

    for (int k = 0; k < 8; ++k) {
        const Layer& layer = w.extra[k];
        if (k % 2 == 0) {
            Map out = fresh(cur.height, cur.width, layer.out);
            pointwiseLayer(cur, layer, out);
            cur = out;
        } else {
            Map out = fresh(outputSize(cur.height, 2), outputSize(cur.width, 2), layer.out);
            NetworkLayers::full(cur, layer.filters.data(), layer.bias.data(), 2, out, ws.patches);
            NetworkLayers::clamp(out, 0, activationLimit);
            cur = out;
            const Predictor& p = w.predictors[k / 2 + 2];
            predict(cur, p, grid, first, minScore, ws, found);
            first += std::size_t(cur.height) * cur.width * p.anchorsPerCell;
        }
    }
    return found;
}

}  // namespace SsdNetwork
