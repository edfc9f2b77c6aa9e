// Luminance and colour noise reduction as a develop stage: an edge-preserving
// 5 × 5 smoothing of OKLab lightness, and of the colour read from a softened
// copy, each weighted by how alike the samples' lightness is.

#include "engine/develop/detail.h"
#include "engine/develop/stage_kernels.h"

namespace Detail {

std::optional<Imaging::Image> reduceNoise(const Develop::Look& look, const Imaging::Image& image, double scale) {
    const std::optional<NoiseParameters> p = noiseParameters(look, scale);
    if (!p || image.empty()) return std::nullopt;
    const Imaging::Image lab = Develop::toLab(image);
    const Imaging::Image soft = p->softRadius > 0 ? Imaging::gaussianBlur(lab, p->softRadius) : lab;
    const Imaging::Rect& e = image.extent();
    return Imaging::generate(e, [&](int x, int y) {
        const int col = x - e.x, row = e.y + e.height - 1 - y;
        const float cx = float(x) + 0.5f, cy = float(y) + 0.5f;
        const auto fromLab = [&](float dx, float dy) { return Develop::labAt(lab, cx, cy, dx, dy); };
        const auto fromSoft = [&](float dx, float dy) { return Develop::labAt(soft, cx, cy, dx, dy); };
        const Develop::RGB out = denoise(Develop::labOf(lab.at(col, row)), fromLab, fromSoft, *p);
        return Develop::withAlpha(out, image.at(col, row).a);
    });
}

}  // namespace Detail
