// Black and white as a develop stage: every pixel to the grey of its OKLab
// lightness, shifted by the look's grey mix. The mix's band values are
// weighted once per whole hue degree, so that whole rows go through
// `grayLightness` in one vectorised loop.

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/develop/colormix.h"
#include "engine/develop/monochrome.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/vector_loop.h"

namespace Monochrome {

namespace {

// `grayLightness` of `count` OKLab colours into L, `shift` being the grey
// mix's shift at each colour's hue.
VECTOR_LOOP void grayRow(float* __restrict L, const float* __restrict a, const float* __restrict b,
                         const float* __restrict shift, int count) {
#pragma omp simd
    for (int i = 0; i < count; ++i) {
        const float l0 = L[i], s = shift[i];
        const float C = std::sqrt(a[i] * a[i] + b[i] * b[i]);
        const float room = s > 0 ? 1 - l0 : l0;
        float shifted = l0 + s * C * (0.5f + room);
        shifted = shifted < 0 ? 0.0f : shifted;
        shifted = shifted > 1 ? 1.0f : shifted;
        L[i] = C > 0.0005f ? shifted : l0;
    }
}

}  // namespace

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (!look.isBlackAndWhite() || image.empty()) return std::nullopt;
    const ColorMix::BandValues mix = values(look.grayMix);
    ColorMix::BandValues perBand, ones;
    for (int band = 0; band < ColorMix::bandCount; ++band) {
        perBand[band] = mix[band] * (mix[band] >= 0 ? lighten[band] : darken[band]);
        ones[band] = 1;
    }
    const ColorMix::DegreeValues shift(perBand), total(ones);
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        const std::size_t n = static_cast<std::size_t>(w);
        std::vector<float> L(n), a(n), b(n), zero(n, 0.0f), fraction(n), shifts(n);
        std::vector<std::int32_t> degree(n);
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            OKLab::fromSRGBRow(in, L.data(), a.data(), b.data(), w);
            ColorMix::hueDegrees(a.data(), b.data(), degree.data(), fraction.data(), w);
            for (std::size_t i = 0; i < n; ++i) {  // table lookups: one pixel at a time
                const float weight = total(degree[i], fraction[i]);
                shifts[i] = shift(degree[i], fraction[i]) / (weight > 0.0001f ? weight : 0.0001f);
            }
            grayRow(L.data(), a.data(), b.data(), shifts.data(), w);
            OKLab::screenRow(L.data(), zero.data(), zero.data(), in, out.mutableMat().ptr<Imaging::Pixel>(row), w);
        }
    });
    return out;
}

}  // namespace Monochrome
