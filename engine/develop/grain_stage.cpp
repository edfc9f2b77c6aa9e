// Film grain as a develop stage: the noise is fixed to pixel positions, so
// the same picture at the same size always gets the same grain. Each row's
// grain is computed first (a loop that vectorises), then added to the pixels.

#include <vector>

#include "engine/develop/grain.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/vector_loop.h"

namespace Grain {

namespace {

// The grain of `count` pixels of a row, their centres at x0 + 0.5, x0 + 1.5, …, y.
VECTOR_LOOP void grainRow(float x0, float y, const Parameters& parameters, float* __restrict g, int count) {
    const Parameters p = parameters;  // a local copy: its fields stay in registers
#pragma omp simd
    for (int col = 0; col < count; ++col) g[col] = grainAt(x0 + float(col) + 0.5f, y, p);
}

VECTOR_LOOP void addGrainRow(const Imaging::Pixel* __restrict in, const float* __restrict g, Imaging::Pixel* __restrict out,
                             int count) {
#pragma omp simd
    for (int col = 0; col < count; ++col) out[col] = Develop::withAlpha(withGrain(Develop::rgbOf(in[col]), g[col]), in[col].a);
}

}  // namespace

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
            grainRow(float(e.x), y, p, g, e.width);
            addGrainRow(image.mat().ptr<Imaging::Pixel>(r), g, out.mutableMat().ptr<Imaging::Pixel>(r), e.width);
        }
    });
    return out;
}

}  // namespace Grain
