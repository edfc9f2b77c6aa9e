// Reading the float initialisers of an ONNX model from arbitrary bytes: the
// tensors or BadFile. Every tensor's values match its shape.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/vision/onnx_weights.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const auto tensors = OnnxWeights::parse(std::string_view(reinterpret_cast<const char*>(data), size));
        for (const auto& [name, tensor] : tensors) {
            std::uint64_t count = 1;
            for (auto d : tensor.shape) count *= std::uint64_t(d);
            if (count != tensor.values.size()) std::abort();
        }
    } catch (const OnnxWeights::BadFile&) {
    }
    return 0;
}
