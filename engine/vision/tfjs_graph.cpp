#include "engine/vision/tfjs_graph.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "engine/vision/tfjs_weights.h"

namespace TfjsGraph {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

enum class Op { conv1x1, conv3x3, depthwise3, depthwise5, deconv, add, sub, mul, relu, relu6, sigmoid, avgPool, resize };

// A tensor of the pass: a constant of the model, or an activation living in
// one of the workspace's buffers.
struct Value {
    Shape shape;
    bool constant = false;
    std::vector<float> values;  // constants
    int buffer = -1;            // activations
};

struct Step {
    Op op{};
    std::vector<int> inputs;  // values
    int output = -1;          // value
    int stride = 1;
    int kernelHeight = 1, kernelWidth = 1;  // pooling and transposed convolution
    std::vector<float> filters;
    std::vector<float> bias;
    bool halfPixel = false, alignCorners = false;
};

}  // namespace

struct Graph {
    std::vector<Value> values;
    std::vector<Step> steps;
    std::vector<std::size_t> bufferSizes;  // floats
    int input = -1, output = -1;
};

namespace {

[[noreturn]] void unsupported(const std::string& what) { throw std::runtime_error("unsupported graph: " + what); }

std::string nodeName(std::string input) {
    if (const auto colon = input.find(':'); colon != std::string::npos) input.resize(colon);
    return input;
}

std::vector<int> listOfInts(const json& node, const char* key, std::vector<int> fallback) {
    const auto& attr = node.value("attr", json::object());
    if (!attr.contains(key)) return fallback;
    const auto& list = attr.at(key).value("list", json::object());
    if (!list.contains("i")) return fallback;
    std::vector<int> out;
    for (const auto& v : list.at("i")) out.push_back(v.is_string() ? std::stoi(v.get<std::string>()) : v.get<int>());
    return out;
}

// Strings are stored base64-encoded; only these few are ever compared.
std::string padding(const json& node) {
    const auto& attr = node.value("attr", json::object());
    const std::string s = attr.contains("padding") ? attr.at("padding").value("s", "") : "";
    if (s == "U0FNRQ==") return "SAME";
    if (s == "VkFMSUQ=") return "VALID";
    unsupported("padding of " + node.value("name", ""));
}

void checkFormat(const json& node) {
    const auto& attr = node.value("attr", json::object());
    if (attr.contains("data_format") && attr.at("data_format").value("s", "") != "TkhXQw==")
        unsupported("data format of " + node.value("name", ""));
    const auto dilations = listOfInts(node, "dilations", {1, 1, 1, 1});
    for (int d : dilations)
        if (d != 1) unsupported("dilation in " + node.value("name", ""));
}

bool flag(const json& node, const char* key) {
    const auto& attr = node.value("attr", json::object());
    return attr.contains(key) && attr.at(key).value("b", false);
}

int equalStride(const json& node) {
    const auto strides = listOfInts(node, "strides", {1, 1, 1, 1});
    if (strides.size() != 4 || strides[1] != strides[2]) unsupported("strides of " + node.value("name", ""));
    return strides[1];
}

Shape shapeOfConstant(const std::vector<int>& dims) {
    std::size_t count = 1;
    for (int d : dims) count *= std::size_t(d);
    // Constants broadcast over the last axis: a scalar, one value per channel,
    // or a whole 1 x H x W x C map.
    if (dims.size() == 4 && dims[0] == 1) return {dims[1], dims[2], dims[3]};
    if (dims.size() == 3) return {dims[0], dims[1], dims[2]};
    return {1, 1, int(count)};
}

class Planner {
public:
    Planner(const json& model, std::map<std::string, TfjsWeights::Tensor>& weights) : weights_(weights) {
        const auto& nodes = model.at("modelTopology").at("node");
        for (const auto& node : nodes) byName_[node.at("name").get<std::string>()] = &node;
        for (const auto& node : nodes)
            for (const auto& in : node.value("input", json::array())) {
                const std::string name = in.get<std::string>();
                if (name.empty() || name[0] == '^') continue;
                ++consumers_[nodeName(name)];
            }
        const auto& signature = model.at("signature");
        if (signature.at("inputs").size() != 1 || signature.at("outputs").size() != 1)
            unsupported("not one input and one output");
        inputName_ = nodeName(signature.at("inputs").begin().key());
        outputName_ = nodeName(signature.at("outputs").begin().key());
    }

    Graph plan() {
        graph_.output = valueOf(outputName_);
        if (graph_.input < 0) unsupported("the output does not depend on the input");
        if (graph_.values[graph_.output].constant) unsupported("constant output");
        allocate();
        return std::move(graph_);
    }

private:
    std::map<std::string, TfjsWeights::Tensor>& weights_;
    std::map<std::string, const json*> byName_;
    std::map<std::string, int> consumers_;
    std::map<std::string, int> done_;  // node name -> value
    std::string inputName_, outputName_;
    Graph graph_;

    const json& node(const std::string& name) const {
        const auto it = byName_.find(name);
        if (it == byName_.end()) unsupported("no node " + name);
        return *it->second;
    }

    std::vector<std::string> inputsOf(const json& n) const {
        std::vector<std::string> out;
        for (const auto& in : n.value("input", json::array())) {
            const std::string name = in.get<std::string>();
            if (!name.empty() && name[0] != '^') out.push_back(nodeName(name));
        }
        return out;
    }

    int newValue(Value v) {
        graph_.values.push_back(std::move(v));
        return int(graph_.values.size()) - 1;
    }

    const Value& value(int id) const { return graph_.values[std::size_t(id)]; }

    int constantValue(const std::string& name) {
        const int id = valueOf(name);
        if (!value(id).constant) unsupported(name + " is not a constant");
        return id;
    }

    TfjsWeights::Tensor& tensor(const std::string& name) {
        const auto it = weights_.find(name);
        if (it == weights_.end()) unsupported("no weights for " + name);
        return it->second;
    }

    // The value of a node, planning the steps it needs first (depth first, so
    // that steps run in an order where every input is ready).
    int valueOf(const std::string& name) {
        if (const auto it = done_.find(name); it != done_.end()) {
            if (it->second < 0) unsupported("a cycle through " + name);
            return it->second;
        }
        done_[name] = -1;
        const int id = build(node(name));
        done_[name] = id;
        return id;
    }

    int activation(Shape shape) {
        if (shape.height <= 0 || shape.width <= 0 || shape.channels <= 0) unsupported("an empty tensor");
        return newValue({shape, false, {}, -1});
    }

    int build(const json& n) {
        const std::string op = n.at("op").get<std::string>();
        const std::string name = n.at("name").get<std::string>();
        const auto inputs = inputsOf(n);
        if (op == "Const") {
            auto& t = tensor(name);
            return newValue({shapeOfConstant(t.shape), true, t.values, -1});
        }
        if (op == "Placeholder") {
            if (name != inputName_) unsupported("a second input " + name);
            const auto& dims = n.at("attr").at("shape").at("shape").at("dim");
            if (dims.size() != 4 || std::stoi(dims[0].at("size").get<std::string>()) != 1)
                unsupported("input shape");
            const Shape s{std::stoi(dims[1].at("size").get<std::string>()), std::stoi(dims[2].at("size").get<std::string>()),
                          std::stoi(dims[3].at("size").get<std::string>())};
            graph_.input = activation(s);
            return graph_.input;
        }
        if (op == "Identity") {
            if (inputs.size() != 1) unsupported("Identity arity");
            return valueOf(inputs[0]);
        }
        if (op == "Conv2D" || op == "DepthwiseConv2dNative") return convolution(n, op == "Conv2D", inputs);
        if (op == "Conv2DBackpropInput") return transposedConvolution(n, inputs);
        if (op == "Add" || op == "AddV2" || op == "BiasAdd" || op == "Sub" || op == "Mul") {
            if (inputs.size() != 2) unsupported(op + " arity");
            const int a = valueOf(inputs[0]), b = valueOf(inputs[1]);
            // A bias taken over by the convolution before it.
            if (const int fused = done_[name]; fused >= 0) return fused;
            return binary(op == "Sub" ? Op::sub : op == "Mul" ? Op::mul : Op::add, a, b);
        }
        if (op == "AddN") {
            if (inputs.empty()) unsupported("empty AddN");
            int sum = valueOf(inputs[0]);
            for (std::size_t i = 1; i < inputs.size(); ++i) sum = binary(Op::add, sum, valueOf(inputs[i]));
            return sum;
        }
        if (op == "Relu" || op == "Relu6" || op == "Sigmoid") {
            if (inputs.size() != 1) unsupported(op + " arity");
            const int in = valueOf(inputs[0]);
            Step s;
            s.op = op == "Relu" ? Op::relu : op == "Relu6" ? Op::relu6 : Op::sigmoid;
            s.inputs = {in};
            s.output = activation(value(in).shape);
            graph_.steps.push_back(std::move(s));
            return graph_.steps.back().output;
        }
        if (op == "AvgPool") {
            checkFormat(n);
            if (padding(n) != "VALID") unsupported("AvgPool padding");
            const auto k = listOfInts(n, "ksize", {});
            const auto st = listOfInts(n, "strides", {});
            if (k.size() != 4 || st.size() != 4 || k[0] != 1 || k[3] != 1) unsupported("AvgPool window");
            const int in = valueOf(inputs.at(0));
            const Shape is = value(in).shape;
            if (k[1] > is.height || k[2] > is.width || st[1] <= 0 || st[2] <= 0 || st[1] != st[2])
                unsupported("AvgPool window");
            Step s;
            s.op = Op::avgPool;
            s.inputs = {in};
            s.kernelHeight = k[1];
            s.kernelWidth = k[2];
            s.stride = st[1];
            s.output = activation({(is.height - k[1]) / st[1] + 1, (is.width - k[2]) / st[2] + 1, is.channels});
            graph_.steps.push_back(std::move(s));
            return graph_.steps.back().output;
        }
        if (op == "ResizeBilinear") {
            const int in = valueOf(inputs.at(0));
            const int size = constantValue(inputs.at(1));
            if (value(size).values.size() != 2) unsupported("resize size");
            Step s;
            s.op = Op::resize;
            s.inputs = {in};
            s.halfPixel = flag(n, "half_pixel_centers");
            s.alignCorners = flag(n, "align_corners");
            s.output = activation({int(value(size).values[0]), int(value(size).values[1]), value(in).shape.channels});
            graph_.steps.push_back(std::move(s));
            return graph_.steps.back().output;
        }
        unsupported("operation " + op);
    }

    // The single consumer of `name` when it is an addition of one constant
    // value per channel (a bias the convolution can add itself), or null.
    const json* biasAfter(const std::string& name, int channels) {
        if (consumers_[name] != 1 || name == outputName_) return nullptr;
        for (const auto& [other, n] : byName_) {
            const std::string op = n->at("op").get<std::string>();
            if (op != "Add" && op != "AddV2" && op != "BiasAdd") continue;
            const auto ins = inputsOf(*n);
            if (ins.size() != 2 || (ins[0] != name && ins[1] != name) || ins[0] == ins[1]) continue;
            const std::string constant = ins[0] == name ? ins[1] : ins[0];
            const json& c = node(constant);
            if (c.at("op") != "Const") return nullptr;
            const auto& t = tensor(constant);
            std::size_t count = 1;
            for (int d : t.shape) count *= std::size_t(d);
            return count == std::size_t(channels) ? n : nullptr;
        }
        return nullptr;
    }

    int convolution(const json& n, bool full, const std::vector<std::string>& inputs) {
        checkFormat(n);
        if (inputs.size() != 2) unsupported("convolution arity");
        const int in = valueOf(inputs[0]);
        auto& filter = tensor(inputs[1]);
        const Shape is = value(in).shape;
        const int stride = equalStride(n);
        const std::string pad = padding(n);
        if (filter.shape.size() != 4 || filter.shape[2] != is.channels) unsupported("filter shape of " + n.at("name").get<std::string>());
        const int kh = filter.shape[0], kw = filter.shape[1];
        Step s;
        s.inputs = {in};
        s.stride = stride;
        int channels = 0;
        if (full) {
            channels = filter.shape[3];
            if (kh == 1 && kw == 1 && stride == 1) s.op = Op::conv1x1;
            else if (kh == 3 && kw == 3 && pad == "SAME") s.op = Op::conv3x3;
            else unsupported("convolution form of " + n.at("name").get<std::string>());
        } else {
            channels = is.channels;
            if (filter.shape[3] != 1 || pad != "SAME") unsupported("depthwise form of " + n.at("name").get<std::string>());
            if (kh == 3 && kw == 3) s.op = Op::depthwise3;
            else if (kh == 5 && kw == 5) s.op = Op::depthwise5;
            else unsupported("depthwise kernel of " + n.at("name").get<std::string>());
        }
        s.filters = filter.values;
        const Shape os = s.op == Op::conv1x1 ? Shape{is.height, is.width, channels}
                                             : Shape{NetworkLayers::outputSize(is.height, stride),
                                                     NetworkLayers::outputSize(is.width, stride), channels};
        // A following per-channel bias is added by the convolution (pointwise
        // products start from it); the addition's node then names this step.
        const std::string name = n.at("name").get<std::string>();
        if (s.op == Op::conv1x1 || s.op == Op::conv3x3) {
            if (const json* add = biasAfter(name, channels)) {
                const auto ins = inputsOf(*add);
                s.bias = tensor(ins[0] == name ? ins[1] : ins[0]).values;
                s.output = activation(os);
                graph_.steps.push_back(std::move(s));
                const int id = graph_.steps.back().output;
                done_[add->at("name").get<std::string>()] = id;
                return id;
            }
            s.bias.assign(std::size_t(channels), 0.0f);
        }
        s.output = activation(os);
        graph_.steps.push_back(std::move(s));
        return graph_.steps.back().output;
    }

    int transposedConvolution(const json& n, const std::vector<std::string>& inputs) {
        checkFormat(n);
        if (inputs.size() != 3) unsupported("Conv2DBackpropInput arity");
        const int size = constantValue(inputs[0]);
        auto& filter = tensor(inputs[1]);
        const int in = valueOf(inputs[2]);
        const Shape is = value(in).shape;
        const auto& sizes = value(size).values;
        if (sizes.size() != 4 || sizes[0] != 1) unsupported("Conv2DBackpropInput sizes");
        if (filter.shape.size() != 4 || filter.shape[3] != is.channels || filter.shape[2] != int(sizes[3]))
            unsupported("Conv2DBackpropInput filter");
        Step s;
        s.op = Op::deconv;
        s.inputs = {in};
        s.stride = equalStride(n);
        s.kernelHeight = filter.shape[0];
        s.kernelWidth = filter.shape[1];
        s.filters = filter.values;
        s.alignCorners = padding(n) == "SAME";  // reused as "same padding"
        const Shape os{int(sizes[1]), int(sizes[2]), int(sizes[3])};
        const int needH = padding(n) == "SAME" ? NetworkLayers::outputSize(os.height, s.stride) : (os.height - s.kernelHeight) / s.stride + 1;
        const int needW = padding(n) == "SAME" ? NetworkLayers::outputSize(os.width, s.stride) : (os.width - s.kernelWidth) / s.stride + 1;
        if (needH != is.height || needW != is.width) unsupported("Conv2DBackpropInput sizes");
        s.output = activation(os);
        graph_.steps.push_back(std::move(s));
        return graph_.steps.back().output;
    }

    int binary(Op op, int a, int b) {
        const Shape sa = value(a).shape, sb = value(b).shape;
        if (value(a).constant && value(b).constant) unsupported("arithmetic on two constants");
        // The larger operand gives the shape; the other must be a scalar, one
        // value per channel, or of the same shape.
        const bool swap = sb.size() > sa.size();
        const Shape big = swap ? sb : sa, small = swap ? sa : sb;
        const bool fits = small == big || small.size() == 1 ||
                          (small.size() == std::size_t(big.channels) && small.channels == big.channels);
        if (!fits) unsupported("broadcast between tensors of different shapes");
        if (op == Op::sub && swap) unsupported("subtraction broadcasting its first operand");
        Step s;
        s.op = op;
        s.inputs = swap ? std::vector<int>{b, a} : std::vector<int>{a, b};
        s.output = activation(big);
        graph_.steps.push_back(std::move(s));
        return graph_.steps.back().output;
    }

    // Each activation gets a buffer no other live activation uses: after a
    // step, the buffers of inputs no later step reads are free again.
    void allocate() {
        std::vector<int> lastUse(graph_.values.size(), -1);
        for (std::size_t i = 0; i < graph_.steps.size(); ++i)
            for (int in : graph_.steps[i].inputs) lastUse[std::size_t(in)] = int(i);
        lastUse[std::size_t(graph_.output)] = int(graph_.steps.size());
        std::vector<int> freeBuffers;
        const auto take = [&](Value& v) {
            // The smallest free buffer large enough, else the largest free one grown.
            int best = -1;
            for (int b : freeBuffers) {
                const std::size_t cap = graph_.bufferSizes[std::size_t(b)];
                if (best < 0) { best = b; continue; }
                const std::size_t bestCap = graph_.bufferSizes[std::size_t(best)];
                const bool fits = cap >= v.shape.size(), bestFits = bestCap >= v.shape.size();
                if ((fits && (!bestFits || cap < bestCap)) || (!fits && !bestFits && cap > bestCap)) best = b;
            }
            if (best < 0) {
                graph_.bufferSizes.push_back(0);
                best = int(graph_.bufferSizes.size()) - 1;
            } else {
                freeBuffers.erase(std::find(freeBuffers.begin(), freeBuffers.end(), best));
            }
            auto& cap = graph_.bufferSizes[std::size_t(best)];
            cap = std::max(cap, v.shape.size());
            v.buffer = best;
        };
        take(graph_.values[std::size_t(graph_.input)]);
        for (std::size_t i = 0; i < graph_.steps.size(); ++i) {
            take(graph_.values[std::size_t(graph_.steps[i].output)]);
            for (int in : graph_.steps[i].inputs) {
                const Value& v = graph_.values[std::size_t(in)];
                if (!v.constant && lastUse[std::size_t(in)] == int(i) &&
                    std::find(freeBuffers.begin(), freeBuffers.end(), v.buffer) == freeBuffers.end())
                    freeBuffers.push_back(v.buffer);
            }
        }
    }
};

// ---------------------------------------------------------------------------
// Kernels that the shared layer file does not have.

inline float sigmoid(float x) { return 1.0f / (1.0f + std::exp(-std::clamp(x, -80.0f, 80.0f))); }

void transposed(const NetworkLayers::Map& in, const Step& s, NetworkLayers::Map& out) {
    const int ci = in.channels, co = out.channels, kh = s.kernelHeight, kw = s.kernelWidth;
    int padY = 0, padX = 0;
    if (s.alignCorners) {
        padY = std::max((in.height - 1) * s.stride + kh - out.height, 0) / 2;
        padX = std::max((in.width - 1) * s.stride + kw - out.width, 0) / 2;
    }
    std::fill(out.data, out.data + out.size(), 0.0f);
    for (int iy = 0; iy < in.height; ++iy)
        for (int ix = 0; ix < in.width; ++ix) {
            const float* x = in.at(iy, ix);
            for (int ky = 0; ky < kh; ++ky) {
                const int oy = iy * s.stride + ky - padY;
                if (oy < 0 || oy >= out.height) continue;
                for (int kx = 0; kx < kw; ++kx) {
                    const int ox = ix * s.stride + kx - padX;
                    if (ox < 0 || ox >= out.width) continue;
                    float* y = out.at(oy, ox);
                    const float* w = s.filters.data() + (std::size_t(ky) * kw + kx) * co * ci;  // [ky][kx][out][in]
                    for (int o = 0; o < co; ++o) {
                        float acc = 0;
                        for (int i = 0; i < ci; ++i) acc += x[i] * w[std::size_t(o) * ci + i];
                        y[o] += acc;
                    }
                }
            }
        }
}

void averagePool(const NetworkLayers::Map& in, const Step& s, NetworkLayers::Map& out) {
    const float scale = 1.0f / float(s.kernelHeight * s.kernelWidth);
    for (int oy = 0; oy < out.height; ++oy)
        for (int ox = 0; ox < out.width; ++ox) {
            float* y = out.at(oy, ox);
            std::fill(y, y + out.channels, 0.0f);
            for (int ky = 0; ky < s.kernelHeight; ++ky)
                for (int kx = 0; kx < s.kernelWidth; ++kx) {
                    const float* x = in.at(oy * s.stride + ky, ox * s.stride + kx);
                    for (int c = 0; c < out.channels; ++c) y[c] += x[c];
                }
            for (int c = 0; c < out.channels; ++c) y[c] *= scale;
        }
}

// TensorFlow's bilinear resize: source coordinate (d + 0.5) * scale - 0.5 with
// half-pixel centres, d * scale otherwise; neighbours clamped to the map.
void resizeBilinear(const NetworkLayers::Map& in, const Step& s, NetworkLayers::Map& out) {
    const auto axis = [&](int inSize, int outSize, std::vector<int>& lo, std::vector<int>& hi, std::vector<float>& t) {
        const float scale = s.alignCorners && outSize > 1 ? float(inSize - 1) / float(outSize - 1)
                                                          : float(inSize) / float(outSize);
        lo.resize(std::size_t(outSize));
        hi.resize(std::size_t(outSize));
        t.resize(std::size_t(outSize));
        for (int d = 0; d < outSize; ++d) {
            const float src = s.halfPixel ? (float(d) + 0.5f) * scale - 0.5f : float(d) * scale;
            const float f = std::floor(src);
            lo[std::size_t(d)] = std::clamp(int(f), 0, inSize - 1);
            hi[std::size_t(d)] = std::clamp(int(std::ceil(src)), 0, inSize - 1);
            t[std::size_t(d)] = src - f;
        }
    };
    std::vector<int> y0, y1, x0, x1;
    std::vector<float> ty, tx;
    axis(in.height, out.height, y0, y1, ty);
    axis(in.width, out.width, x0, x1, tx);
    const int c = in.channels;
    for (int oy = 0; oy < out.height; ++oy)
        for (int ox = 0; ox < out.width; ++ox) {
            const float* a = in.at(y0[std::size_t(oy)], x0[std::size_t(ox)]);
            const float* b = in.at(y0[std::size_t(oy)], x1[std::size_t(ox)]);
            const float* cc = in.at(y1[std::size_t(oy)], x0[std::size_t(ox)]);
            const float* d = in.at(y1[std::size_t(oy)], x1[std::size_t(ox)]);
            const float wx = tx[std::size_t(ox)], wy = ty[std::size_t(oy)];
            float* y = out.at(oy, ox);
            for (int ch = 0; ch < c; ++ch) {
                const float top = a[ch] + (b[ch] - a[ch]) * wx;
                const float bottom = cc[ch] + (d[ch] - cc[ch]) * wx;
                y[ch] = top + (bottom - top) * wy;
            }
        }
}

}  // namespace

std::shared_ptr<const Graph> load(const fs::path& modelFile) {
    json model;
    auto weights = TfjsWeights::readModel(modelFile, model);
    try {
        Planner planner(model, weights);
        return std::make_shared<const Graph>(planner.plan());
    } catch (const json::exception& e) {
        throw std::runtime_error(std::string("malformed graph model: ") + e.what());
    } catch (const std::invalid_argument&) {
        throw std::runtime_error("malformed graph model");
    } catch (const std::out_of_range&) {
        throw std::runtime_error("malformed graph model");
    }
}

Shape inputShape(const Graph& graph) { return graph.values[std::size_t(graph.input)].shape; }
Shape outputShape(const Graph& graph) { return graph.values[std::size_t(graph.output)].shape; }

Workspace::Workspace() = default;
Workspace::~Workspace() = default;
Workspace::Workspace(Workspace&&) noexcept = default;
Workspace& Workspace::operator=(Workspace&&) noexcept = default;

const float* run(const Graph& graph, const float* input, Workspace& workspace) {
    auto& buffers = workspace.buffers_;
    if (buffers.size() < graph.bufferSizes.size()) buffers.resize(graph.bufferSizes.size());
    for (std::size_t b = 0; b < graph.bufferSizes.size(); ++b)
        if (buffers[b].size() < graph.bufferSizes[b]) buffers[b].resize(graph.bufferSizes[b]);
    const auto map = [&](int id) {
        const Value& v = graph.values[std::size_t(id)];
        float* data = v.constant ? const_cast<float*>(v.values.data()) : buffers[std::size_t(v.buffer)].data();
        return NetworkLayers::Map{v.shape.height, v.shape.width, v.shape.channels, data};
    };
    {
        NetworkLayers::Map in = map(graph.input);
        std::copy_n(input, in.size(), in.data);
    }
    for (const Step& s : graph.steps) {
        const NetworkLayers::Map in = map(s.inputs[0]);
        NetworkLayers::Map out = map(s.output);
        const std::size_t n = out.size();
        switch (s.op) {
        case Op::conv1x1:
            NetworkLayers::pointwise(in.data, in.height * in.width, in.channels, s.filters.data(), out.channels,
                                     s.bias.data(), out.data);
            break;
        case Op::conv3x3:
            NetworkLayers::full(in, s.filters.data(), s.bias.data(), s.stride, out, workspace.patches_);
            break;
        case Op::depthwise3: NetworkLayers::depthwise(in, s.filters.data(), s.stride, out); break;
        case Op::depthwise5: NetworkLayers::depthwise5(in, s.filters.data(), s.stride, out); break;
        case Op::deconv: transposed(in, s, out); break;
        case Op::add:
        case Op::sub:
        case Op::mul: {
            const NetworkLayers::Map other = map(s.inputs[1]);
            const std::size_t m = other.size();
            const float* __restrict a = in.data;
            const float* __restrict b = other.data;
            float* y = out.data;
            if (m == n) {
                if (s.op == Op::add) for (std::size_t i = 0; i < n; ++i) y[i] = a[i] + b[i];
                else if (s.op == Op::sub) for (std::size_t i = 0; i < n; ++i) y[i] = a[i] - b[i];
                else for (std::size_t i = 0; i < n; ++i) y[i] = a[i] * b[i];
            } else if (m == 1) {
                const float v = b[0];
                if (s.op == Op::add) for (std::size_t i = 0; i < n; ++i) y[i] = a[i] + v;
                else if (s.op == Op::sub) for (std::size_t i = 0; i < n; ++i) y[i] = a[i] - v;
                else for (std::size_t i = 0; i < n; ++i) y[i] = a[i] * v;
            } else {
                for (std::size_t p = 0; p < n; p += m) {
                    if (s.op == Op::add) for (std::size_t c = 0; c < m; ++c) y[p + c] = a[p + c] + b[c];
                    else if (s.op == Op::sub) for (std::size_t c = 0; c < m; ++c) y[p + c] = a[p + c] - b[c];
                    else for (std::size_t c = 0; c < m; ++c) y[p + c] = a[p + c] * b[c];
                }
            }
            break;
        }
        case Op::relu: for (std::size_t i = 0; i < n; ++i) out.data[i] = std::max(in.data[i], 0.0f); break;
        case Op::relu6: for (std::size_t i = 0; i < n; ++i) out.data[i] = std::clamp(in.data[i], 0.0f, 6.0f); break;
        case Op::sigmoid: for (std::size_t i = 0; i < n; ++i) out.data[i] = sigmoid(in.data[i]); break;
        case Op::avgPool: averagePool(in, s, out); break;
        case Op::resize: resizeBilinear(in, s, out); break;
        }
    }
    return map(graph.output).data;
}

}  // namespace TfjsGraph
