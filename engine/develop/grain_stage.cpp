// Film grain as a develop stage: the noise is fixed to pixel positions, so
// the same picture at the same size always gets the same grain.

#include "engine/develop/grain.h"
#include "engine/develop/stage_kernels.h"

namespace Grain {

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (image.empty()) return std::nullopt;
    const std::optional<Parameters> grain = parameters(look, image.width(), image.height());
    if (!grain) return std::nullopt;
    return Develop::mapColourAt(image, [&p = *grain](const Develop::RGB& c, float x, float y) {
        return apply(c, x, y, p);
    });
}

}  // namespace Grain
