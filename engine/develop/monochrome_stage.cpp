// Black and white as a develop stage: every pixel to the grey of its OKLab
// lightness, shifted by the look's grey mix.

#include "engine/develop/monochrome.h"
#include "engine/develop/stage_kernels.h"

namespace Monochrome {

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (!look.isBlackAndWhite() || image.empty()) return std::nullopt;
    const ColorMix::BandValues mix = values(look.grayMix);
    return Develop::mapLab(image, [&mix](OKLab::Lab& lab) { lab = {grayLightness(lab, mix), 0, 0}; });
}

}  // namespace Monochrome
