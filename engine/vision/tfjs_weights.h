#pragma once
// The weights of a TensorFlow.js model: a JSON manifest naming binary shards
// and listing the tensors stored in them, one after another, as float32 or
// int32 values, or as uint8/uint16 quantised or float16 values.

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace TfjsWeights {

struct Tensor {
    std::vector<int> shape;
    std::vector<float> values;  // row-major over shape, dequantised
};

// Every tensor of the manifest by name. Throws std::runtime_error when a
// file is missing or short, or the manifest is malformed.
std::map<std::string, Tensor> read(const std::filesystem::path& manifestFile);

// The same for a graph model file (model.json), whose "weightsManifest" lists
// the tensors; `model` receives the whole parsed file.
std::map<std::string, Tensor> readModel(const std::filesystem::path& modelFile, nlohmann::json& model);

// Moves the values of tensor `name` out of `tensors`. Throws
// std::runtime_error when it is absent or its shape is not `shape`.
std::vector<float> take(std::map<std::string, Tensor>& tensors, const std::string& name, const std::vector<int>& shape);

}  // namespace TfjsWeights
