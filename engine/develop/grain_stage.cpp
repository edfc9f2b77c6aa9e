// Film grain as a develop stage: the noise is fixed to pixel positions, so
// the same picture at the same size always gets the same grain. The grain
// of the whole picture is computed first (loops that vectorise), then added
// to the pixels. It depends on nothing but the picture's extent and the
// grain settings, so the last one is kept: re-renders while other sliders
// move reuse it.

#include <mutex>

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

// The grain of every pixel of a picture with extent `e` (rows top-down).
cv::Mat grainField(const Imaging::Rect& e, const Parameters& p) {
    cv::Mat field(e.height, e.width, CV_32F);
    Imaging::forRows(e.height, [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            const float y = float(e.y + e.height - 1 - r) + 0.5f;
            grainRow(float(e.x), y, p, field.ptr<float>(r), e.width);
        }
    });
    return field;
}

// The last grain field and what it was made for. One entry; its mutex is
// held only around a lookup or a store.
struct FieldCache {
    std::mutex mutex;
    Imaging::Rect extent;
    Parameters parameters;
    cv::Mat field;
};

bool same(const Parameters& a, const Parameters& b) {
    return a.cell == b.cell && a.amount == b.amount && a.roughness == b.roughness;
}

cv::Mat cachedField(const Imaging::Rect& e, const Parameters& p) {
    static FieldCache cache;
    {
        const std::lock_guard<std::mutex> lock(cache.mutex);
        if (!cache.field.empty() && cache.extent == e && same(cache.parameters, p)) return cache.field;  // never written again
    }
    cv::Mat field = grainField(e, p);
    const std::lock_guard<std::mutex> lock(cache.mutex);
    cache.extent = e;
    cache.parameters = p;
    cache.field = field;
    return field;
}

}  // namespace

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (image.empty()) return std::nullopt;
    const std::optional<Parameters> grain = parameters(look, image.width(), image.height());
    if (!grain) return std::nullopt;
    const Parameters p = *grain;
    const Imaging::Rect& e = image.extent();
    const cv::Mat field = cachedField(e, p);
    Imaging::Image out(e);
    Imaging::forRows(e.height, [&](int begin, int end) {
        for (int r = begin; r < end; ++r)
            addGrainRow(image.mat().ptr<Imaging::Pixel>(r), field.ptr<float>(r), out.mutableMat().ptr<Imaging::Pixel>(r), e.width);
    });
    return out;
}

}  // namespace Grain
