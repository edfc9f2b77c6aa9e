#pragma once
// A small executor for TensorFlow.js graph models (model.json with its
// weights manifest and binary shards) of the kind MediaPipe's segmentation
// networks are published as: one NHWC float input of fixed size, a feed-
// forward graph of convolutions, element-wise arithmetic, activations,
// pooling and bilinear resizing, one output. The layers run on the kernels
// the face networks share (engine/vision/network_layers.h).
//
// Supported operations: Const, Placeholder, Identity, Conv2D (1 x 1 any
// stride, 3 x 3 "same"), DepthwiseConv2dNative (3 x 3 and 5 x 5, "same"),
// Conv2DBackpropInput (any kernel, no dilation), Add, AddV2, BiasAdd, AddN,
// Sub, Mul (equal shapes, or one operand a scalar or one value per channel),
// Relu, Relu6, Sigmoid, AvgPool (valid padding) and ResizeBilinear.
//
// A loaded Graph is never changed: any number of threads may run it at once,
// each with its own Workspace.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/vision/network_layers.h"

namespace TfjsGraph {

struct Shape {
    int height = 0;
    int width = 0;
    int channels = 0;
    std::size_t size() const { return std::size_t(height) * width * channels; }
    bool operator==(const Shape&) const = default;
};

struct Graph;

// Reads the model file and the shards its manifest names (relative to its
// folder) and plans the pass. Throws std::runtime_error when a file is
// missing or short, the graph is malformed, or uses an operation or a form of
// one that is not supported.
std::shared_ptr<const Graph> load(const std::filesystem::path& modelFile);

Shape inputShape(const Graph& graph);
Shape outputShape(const Graph& graph);

// Per-thread scratch memory for passes; keeps its storage between passes.
class Workspace {
public:
    Workspace();
    ~Workspace();
    Workspace(Workspace&&) noexcept;
    Workspace& operator=(Workspace&&) noexcept;

private:
    friend const float* run(const Graph&, const float*, Workspace&);
    std::vector<std::vector<float>> buffers_;
    NetworkLayers::Buffer patches_;
};

// One pass over `input` (inputShape floats, NHWC, batch 1). Returns the
// output (outputShape floats), valid until the workspace's next pass.
const float* run(const Graph& graph, const float* input, Workspace& workspace);

}  // namespace TfjsGraph
