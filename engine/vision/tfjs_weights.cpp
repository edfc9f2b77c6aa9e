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

// IEEE 754 half precision to single precision, subnormals and infinities included.
float halfToFloat(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000u) << 16;
    const int exponent = (h >> 10) & 0x1f;
    std::uint32_t mantissa = h & 0x3ffu;
    std::uint32_t bits;
    if (exponent == 0x1f) {
        bits = sign | 0x7f800000u | (mantissa << 13);
    } else if (exponent == 0) {
        if (mantissa == 0) {
            bits = sign;
        } else {
            int e = -1;
            do {
                ++e;
                mantissa <<= 1;
            } while (!(mantissa & 0x400u));
            bits = sign | std::uint32_t(127 - 15 - e) << 23 | (mantissa & 0x3ffu) << 13;
        }
    } else {
        bits = sign | std::uint32_t(exponent - 15 + 127) << 23 | mantissa << 13;
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Tensors of one group lie one after another in the concatenation of the
// group's shards, which are named relative to `folder`.
std::map<std::string, Tensor> readGroups(const nlohmann::json& manifest, const fs::path& folder) {
    if (!manifest.is_array()) throw std::runtime_error("the weights manifest is not a list");
    std::map<std::string, Tensor> tensors;
    for (const auto& group : manifest) {
        std::string bytes;
        for (const auto& shard : group.at("paths")) {
            const fs::path name = shard.get<std::string>();
            if (name.is_absolute() || name.filename() != name) throw std::runtime_error("bad shard name in the manifest");
            bytes += readAll(folder / name);
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
                const double scale = q.value("scale", 1.0);
                const double minimum = q.value("min", 0.0);
                if ((type == "uint8" || type == "uint16") && !(q.contains("scale") && q.contains("min")))
                    throw std::runtime_error("quantised weights without scale");
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
                } else if (type == "float16") {
                    need(2 * count);
                    for (std::size_t i = 0; i < count; ++i) {
                        const auto lo = std::uint8_t(bytes[offset + 2 * i]), hi = std::uint8_t(bytes[offset + 2 * i + 1]);
                        t.values[i] = halfToFloat(std::uint16_t(lo | hi << 8));
                    }
                    offset += 2 * count;
                } else {
                    throw std::runtime_error("unsupported weight quantisation " + type);
                }
            } else {
                const std::string type = entry.at("dtype").get<std::string>();
                need(4 * count);
                static_assert(sizeof(float) == 4);
                if (type == "float32") {
                    std::memcpy(t.values.data(), bytes.data() + offset, 4 * count);  // little-endian host
                } else if (type == "int32") {
                    for (std::size_t i = 0; i < count; ++i) {
                        std::int32_t v;
                        std::memcpy(&v, bytes.data() + offset + 4 * i, 4);
                        t.values[i] = float(v);
                    }
                } else {
                    throw std::runtime_error("unsupported weight type");
                }
                offset += 4 * count;
            }
            tensors[entry.at("name").get<std::string>()] = std::move(t);
        }
    }
    return tensors;
}

}  // namespace

std::map<std::string, Tensor> read(const fs::path& manifestFile) {
    return readGroups(nlohmann::json::parse(readAll(manifestFile)), manifestFile.parent_path());
}

std::map<std::string, Tensor> readModel(const fs::path& modelFile, nlohmann::json& model) {
    model = nlohmann::json::parse(readAll(modelFile));
    if (!model.is_object() || !model.contains("weightsManifest"))
        throw std::runtime_error("the model has no weights manifest");
    return readGroups(model.at("weightsManifest"), modelFile.parent_path());
}

std::vector<float> take(std::map<std::string, Tensor>& tensors, const std::string& name,
                        const std::vector<int>& shape) {
    const auto it = tensors.find(name);
    if (it == tensors.end()) throw std::runtime_error("the weights lack " + name);
    if (it->second.shape != shape) throw std::runtime_error("unexpected shape of " + name);
    return std::move(it->second.values);
}

}  // namespace TfjsWeights
