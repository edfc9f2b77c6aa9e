#include "engine/vision/tfjs_weights.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace TfjsWeights {

namespace fs = std::filesystem;

namespace {

std::string readAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.filename().string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// Tensors of one group lie one after another in the concatenation of the
// group's shards.
std::map<std::string, Tensor> read(const fs::path& manifestFile) {
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

}  // namespace TfjsWeights
