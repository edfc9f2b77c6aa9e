#pragma once
// Point curves: each list of control points becomes a smooth, monotone-
// preserving curve sampled at 256 inputs; the red, green and blue curves are
// composed with the master curve into three lookup tables applied per pixel
// to sRGB-encoded values. The tables and their lookups; the develop stage
// that applies a look's curves is in engine/develop/curves.h.
//
// Every point-curve lookup lives here, in two families that interpolate in
// their own order and so are kept apart (one order for both moves renders by
// up to nine 8-bit levels):
// - the point curves' 256-entry tables: `lookup` in double precision (table
//   composition, the camera shoulder, the reference) and in single precision
//   (`FloatTables`, with `applyRow`, its row kernel): (1 − f) a + f b;
// - free tables of any length (the camera look's matched curves):
//   `curveValue` and `ColourCurveRows`, its row kernel: a + (b − a) f.
// Each row kernel is tested against its scalar lookup over a grid.

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include <vector>

#include "engine/imaging/colour/curves_set.h"
#include "engine/imaging/colour/rgb.h"
#include "engine/imaging/image.h"

namespace Curves {

inline constexpr int samples = 256;

// A curve's outputs for the inputs i / 255, each in 0…1.
using Sampled = std::array<double, samples>;

// One table per colour channel, each already composed with the master curve.
struct Tables {
    Sampled red;
    Sampled green;
    Sampled blue;
};

// The monotone cubic (Fritsch–Carlson) curve through a point list, or nothing
// when the list is absent or fewer than two usable points remain. Points are
// tidied first: entries with fewer than two numbers are skipped, x and y are
// clamped to 0…1, a point whose x is within 1e-6 of the previously kept one
// is dropped, and the rest are sorted by x (stably).
std::optional<Sampled> sample(const std::optional<Points>& points);

// The three channel tables of a set: master first, then each channel's own
// curve on the result. Nothing when the set has no usable curve.
std::optional<Tables> channelTables(const Set& set);

// Linear interpolation in a table at v (v ≥ 0; values above 1 read the last entry).
double lookup(const Sampled& table, double v);

// The 768 floats red[i], green[i], blue[i] interleaved per entry, as a
// colour-curves filter takes them.
std::array<float, 3 * samples> interleaved(const Tables& tables);

// One pixel through the tables; each channel is clamped to 0…1 before the lookup.
Colour::RGB apply(const Tables& tables, const Colour::RGB& pixel);

// The tables in single precision, one after the other, each with its last
// entry repeated, for the per-pixel loop: the same lookup as `apply`
// without double arithmetic or a floor call.
struct FloatTables {
    static constexpr int stride = samples + 1;
    std::array<float, 3 * stride> values{};
    explicit FloatTables(const Tables& tables);
    const float* channel(int c) const { return values.data() + c * stride; }
};

// One value through one channel's table (`stride` entries); a NaN reads the first entry.
inline float lookup(const float* table, float v) {
    const float p = (std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f)) * (samples - 1);
    const int j = int(p);
    const float f = p - float(j);
    return (1 - f) * table[j] + f * table[j + 1];
}

inline Colour::RGB apply(const FloatTables& tables, const Colour::RGB& pixel) {
    return {lookup(tables.channel(0), pixel.r), lookup(tables.channel(1), pixel.g), lookup(tables.channel(2), pixel.b)};
}

// `apply` over a row of `count` pixels, alpha kept: two pixels at a time
// on vectors, the same operations in the same order. `out` may be `in`.
void applyRow(const FloatTables& tables, const Imaging::Pixel* in, Imaging::Pixel* out, int count);

// Free tables over 0…1 (any length; the camera look's are 256 entries),
// linearly interpolated; inputs outside 0…1 are clamped. One value through
// one such table (an empty table passes it through), and one pixel through
// all three.
inline float curveValue(const std::vector<float>& table, float v) {
    if (table.empty()) return v;
    const float position = std::clamp(v, 0.0f, 1.0f) * float(table.size() - 1);
    const std::size_t i = std::min(std::size_t(position), table.size() - 1);
    const std::size_t j = std::min(i + 1, table.size() - 1);
    const float f = position - float(i);
    return table[i] + (table[j] - table[i]) * f;
}
inline Imaging::Pixel colourCurvesPixel(const std::array<std::vector<float>, 3>& tables, const Imaging::Pixel& p) {
    return Imaging::Pixel{curveValue(tables[0], p.r), curveValue(tables[1], p.g), curveValue(tables[2], p.b), p.a};
}
// The same three curves over rows of pixels, two pixels at a time on
// vectors (the same operations as `curveValue`; a NaN reads the first
// entry); alpha is kept.
class ColourCurveRows {
public:
    explicit ColourCurveRows(const std::array<std::vector<float>, 3>& tables);
    // `out` may be `in`.
    void apply(const Imaging::Pixel* in, Imaging::Pixel* out, int count) const;

private:
    std::vector<float> values_;  // the tables one after the other, each with its last entry repeated
    std::array<int, 3> offset_{};
    std::array<float, 3> scale_{};  // entries − 1
    std::array<bool, 3> empty_{};
};

}  // namespace Curves
