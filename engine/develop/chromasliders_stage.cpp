// Saturation and vibrance as a develop stage: each active slider's chroma
// row in turn, saturation first.

#include "engine/develop/colormix.h"
#include "engine/develop/stage_kernels.h"

namespace ChromaSliders {

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    const std::vector<Row> chain = rows(look);
    if (chain.empty()) return std::nullopt;
    return Develop::mapColour(image, [&chain](const Develop::RGB& c) { return apply(c, chain); });
}

}  // namespace ChromaSliders
