#include "engine/develop/monochrome.h"

#include <algorithm>

namespace Monochrome {

ColorMix::BandValues values(const std::optional<Mix>& mix) {
    ColorMix::BandValues out{};
    if (!mix) return out;
    const auto low = mix->low(), high = mix->high();
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<float>(low[i]);
        out[i + 4] = static_cast<float>(high[i]);
    }
    return out;
}

float grayLightness(const OKLab::Lab& lab, const ColorMix::BandValues& mix) {
    float L = lab.L;
    const float C = OKLab::chroma(lab);
    if (C > 0.0005f) {
        const auto w = ColorMix::bandWeights(OKLab::hueDegrees(lab));
        float total = 0, sum = 0;
        for (int band = 0; band < ColorMix::bandCount; ++band) {
            const float k = mix[band] >= 0 ? lighten[band] : darken[band];
            total += w[band];
            sum += w[band] * mix[band] * k;
        }
        const float s = sum / std::max(total, 0.0001f);
        const float room = s > 0 ? 1 - L : L;
        L = std::clamp(L + s * C * (0.5f + room), 0.0f, 1.0f);
    }
    return L;
}

Colour::RGB gray(const Colour::RGB& pixel, const ColorMix::BandValues& mix) {
    return OKLab::screen({grayLightness(OKLab::fromSRGB(pixel), mix), 0, 0});
}

}  // namespace Monochrome
