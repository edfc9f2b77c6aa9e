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

#include "engine/vision/network_layers.h"
#include "engine/vision/tfjs_weights.h"

namespace LandmarkNetwork {

namespace fs = std::filesystem;

namespace {

// ---------------------------------------------------------------------------
// Weights

using TfjsWeights::take;

cv::Mat matrix(std::vector<float> values, int rows, int cols) {
    return cv::Mat(rows, cols, CV_32F, values.data()).clone();
}

// ---------------------------------------------------------------------------
// Forward pass, on the shared layer loops (engine/vision/network_layers.h).

using NetworkLayers::Buffer;
using NetworkLayers::Map;
using NetworkLayers::outputSize;
using NetworkLayers::pointwise;

struct Workspace {
    Buffer input, out1, total, step, rectified, spatial, patches;
};

void convolve(const Map& in, const Convolution& conv, int stride, Map& out, Workspace& ws) {
    if (conv.separable) {
        Map spatial = ws.spatial.map(out.height, out.width, in.channels);
        NetworkLayers::depthwise(in, conv.filters.data(), stride, spatial);
        pointwise(spatial.data, out.height * out.width, in.channels, conv.pointwise.ptr<float>(), conv.out,
                  conv.bias.data(), out.data);
    } else {
        NetworkLayers::full(in, conv.filters.data(), conv.bias.data(), stride, out, ws.patches);
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
    auto tensors = TfjsWeights::read(manifestFile);
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
