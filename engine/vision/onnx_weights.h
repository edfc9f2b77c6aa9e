#pragma once
// The stored weights (initialisers) of an ONNX model file, read without an
// ONNX runtime: just enough of the protocol-buffer wire format to find the
// graph's float tensors by name.

#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace OnnxWeights {

struct Tensor {
    std::vector<std::int64_t> shape;
    std::vector<float> values;  // row-major over shape
};

// Thrown when the file is unreadable, is not an ONNX model, or is damaged.
struct BadFile : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Every 32-bit float initialiser of the model's graph, by name. Tensors of
// other element types, and tensors kept in external files, are left out.
std::map<std::string, Tensor> parse(std::string_view bytes);
std::map<std::string, Tensor> read(const std::filesystem::path& modelFile);

}  // namespace OnnxWeights
