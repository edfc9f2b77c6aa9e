// Film grain as a develop stage: the noise is fixed to pixel positions, so
// the same picture at the same size always gets the same grain. Each row's
// grain is computed first (a loop that vectorises), then added to the pixels.

#include <vector>

#include "engine/develop/grain.h"
#include "engine/develop/stage_kernels.h"

namespace Grain {

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (image.empty()) return std::nullopt;
    const std::optional<Parameters> grain = parameters(look, image.width(), image.height());
    if (!grain) return std::nullopt;
    const Parameters p = *grain;
    const Imaging::Rect& e = image.extent();
    Imaging::Image out(e);
    Imaging::forRows(e.height, [&](int begin, int end) {
        std::vector<float> row(std::size_t(e.width));
        float* __restrict g = row.data();
        for (int r = begin; r < end; ++r) {
            const float y = float(e.y + e.height - 1 - r) + 0.5f;
            for (int col = 0; col < e.width; ++col) g[col] = grainAt(float(e.x + col) + 0.5f, y, p);
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(r);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(r);
            for (int col = 0; col < e.width; ++col)
                o[col] = Develop::withAlpha(withGrain(Develop::rgbOf(in[col]), g[col]), in[col].a);
        }
    });
    return out;
}

}  // namespace Grain
