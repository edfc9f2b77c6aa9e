// The eight-band colour mix as a develop stage.

#include "engine/develop/colormix.h"
#include "engine/develop/stage_kernels.h"

namespace ColorMix {

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (!look.colorMix || look.colorMix->isEmpty()) return std::nullopt;
    const std::optional<Parameters> bands = parameters(*look.colorMix);
    if (!bands) return std::nullopt;
    return Develop::mapColour(image, [&p = *bands](const Develop::RGB& c) { return mix(c, p); });
}

}  // namespace ColorMix
