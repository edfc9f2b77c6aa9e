#include "engine/portrait/portrait_blemishes.h"

#include <cmath>

#include "engine/portrait/multiscale_skin.h"

namespace PortraitLimits {

void validate(const Imaging::Image& image, const Develop::Look& look) { validateSize(image.width(), image.height(), look); }

void validateSize(double width, double height, const Develop::Look& look) {
    long long limit = 0;
    const char* message = nullptr;
    if (look.wantsBlemishes() || look.wantsTone()) {
        limit = retouchPixels;
        message = retouchTooLarge;
    } else if (look.wantsSmoothing()) {
        limit = MultiscaleSkin::maximumPixels;
        message = smoothingTooLarge;
    } else {
        return;
    }
    const double pixels = width * height;
    if (!(pixels > 0) || !std::isfinite(pixels) || pixels > double(limit)) throw Failure(message);
}

}  // namespace PortraitLimits
