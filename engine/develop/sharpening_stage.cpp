// Sharpening as a develop stage: OKLab lightness pushed away from a Gaussian
// blur of itself, small differences cored, large ones limited, optionally
// only along edges.

#include "engine/develop/detail.h"
#include "engine/develop/stage_kernels.h"

namespace Detail {

std::optional<Imaging::Image> sharpen(const Develop::Look& look, const Imaging::Image& image, double scale) {
    const std::optional<SharpenParameters> p = sharpenParameters(look, scale);
    if (!p || image.empty()) return std::nullopt;
    const Imaging::Image lab = Develop::toLab(image);
    const Imaging::Image blur = Imaging::gaussianBlur(lab, p->sigma);
    const Imaging::Rect& e = image.extent();
    return Imaging::generate(e, [&](int x, int y) {
        const int col = x - e.x, row = e.y + e.height - 1 - y;
        const float cx = float(x) + 0.5f, cy = float(y) + 0.5f;
        const auto fromBlur = [&](float dx, float dy) { return Develop::labAt(blur, cx, cy, dx, dy); };
        const Develop::RGB out = sharpen(Develop::labOf(lab.at(col, row)), fromBlur, *p);
        return Develop::withAlpha(out, image.at(col, row).a);
    });
}

}  // namespace Detail
