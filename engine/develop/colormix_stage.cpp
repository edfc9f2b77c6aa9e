// The eight-band colour mix as a develop stage: rows go to OKLab and back
// in vectorised passes; greys keep their pixels exactly.

#include <vector>

#include "engine/develop/colormix.h"
#include "engine/develop/stage_kernels.h"

namespace ColorMix {

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (!look.colorMix || look.colorMix->isEmpty() || image.empty()) return std::nullopt;
    const std::optional<Parameters> bands = parameters(*look.colorMix);
    if (!bands) return std::nullopt;
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        std::vector<float> L(static_cast<std::size_t>(w)), a(L.size()), b(L.size());
        std::vector<char> grey(L.size());
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(row);
            OKLab::fromSRGBRow(in, L.data(), a.data(), b.data(), w);
            for (std::size_t col = 0; col < L.size(); ++col) {
                const std::optional<OKLab::Lab> mixed = mixLab({L[col], a[col], b[col]}, *bands);
                grey[col] = !mixed;
                if (!mixed) continue;
                L[col] = mixed->L;
                a[col] = mixed->a;
                b[col] = mixed->b;
            }
            OKLab::screenRow(L.data(), a.data(), b.data(), in, o, w);
            for (int col = 0; col < w; ++col)
                if (grey[std::size_t(col)]) o[col] = in[col];
        }
    });
    return out;
}

}  // namespace ColorMix
