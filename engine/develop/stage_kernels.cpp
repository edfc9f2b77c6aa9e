#include "engine/develop/stage_kernels.h"

#include "engine/develop/presence.h"

namespace Develop {

Imaging::Image toLab(const Imaging::Image& image) {
    return Imaging::map(image, [](const Imaging::Pixel& p) {
        const OKLab::Lab lab = OKLab::fromSRGB(rgbOf(p));
        return Imaging::Pixel{lab.L, lab.a, lab.b, p.a};
    });
}

Imaging::Image presenceBlur(const Imaging::Image& image, double fraction) {
    return Imaging::gaussianBlur(image, Presence::blurSigma(fraction, image.width(), image.height()));
}

}  // namespace Develop
