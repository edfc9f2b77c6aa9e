// Point curves as a develop stage: three channel tables, one lookup per
// pixel and channel, two pixels at a time.

#include <algorithm>
#include <array>

#include "engine/develop/curves.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/pixel_lanes.h"
#include "engine/imaging/vector_loop.h"

namespace Curves {

namespace {

// The three tables one after the other.
struct RowTables {
    static constexpr int stride = samples + 1;
    std::array<float, 3 * stride> values{};
    explicit RowTables(const FloatTables& tables) {
        for (std::size_t c = 0; c < 3; ++c)
            std::copy(tables.channel[c].begin(), tables.channel[c].end(), values.begin() + std::ptrdiff_t(c) * stride);
    }
};

// `apply` over a row of `count` pixels, alpha kept: two pixels at a time
// through `lookup` written on vectors, the same operations in the same order.
VECTOR_LOOP void curvesRow(const RowTables& rowTables, const FloatTables& tables, const Imaging::Pixel* in,
                           Imaging::Pixel* out, int count) {
    using namespace Imaging::PixelLanes;
    const float* t = rowTables.values.data();
    constexpr int s = RowTables::stride;
    const Ints offset = {0, s, 2 * s, 0, 0, s, 2 * s, 0};
    const Ints alpha = {0, 0, 0, -1, 0, 0, 0, -1};
    int i = 0;
    for (; i + 2 <= count; i += 2) {
        Floats v, p;
        load(&in[i], v);
        unitOrZero(v, p);  // NaN reads the first entry
        p *= float(samples - 1);
        const Ints j = __builtin_convertvector(p, Ints);
        const Floats f = p - __builtin_convertvector(j, Floats);
        Floats lo, hi;
        neighbours(t, offset + j, lo, hi);
        const Floats looked = (1 - f) * lo + f * hi, result = alpha ? v : looked;
        store(&out[i], result);
    }
    for (; i < count; ++i) {
        const Colour::RGB c = apply(tables, {in[i].r, in[i].g, in[i].b});
        out[i] = {c.r, c.g, c.b, in[i].a};
    }
}

}  // namespace

std::optional<Imaging::Image> filter(const Set& set, const Imaging::Image& image) {
    const std::optional<Tables> tables = channelTables(set);
    if (!tables) return std::nullopt;
    const FloatTables lookups(*tables);
    const RowTables rowTables(lookups);
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            curvesRow(rowTables, lookups, image.mat().ptr<Imaging::Pixel>(row), out.mutableMat().ptr<Imaging::Pixel>(row), w);
    });
    return out;
}

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (!look.curve || look.curve->isEmpty()) return std::nullopt;
    return filter(*look.curve, image);
}

}  // namespace Curves
