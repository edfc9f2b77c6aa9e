#pragma once
// Point curves: each list of control points becomes a smooth, monotone-
// preserving curve sampled at 256 inputs; the red, green and blue curves are
// composed with the master curve into three lookup tables applied per pixel
// to sRGB-encoded values.

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"
#include "engine/develop/curves_set.h"
#include "engine/develop/rgb.h"

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
Develop::RGB apply(const Tables& tables, const Develop::RGB& pixel);

// The tables in single precision, each with its last entry repeated, for
// the per-pixel loop: the same lookup as `apply` without double arithmetic
// or a floor call.
struct FloatTables {
    std::array<std::array<float, samples + 1>, 3> channel{};
    explicit FloatTables(const Tables& tables);
};

inline float lookup(const std::array<float, samples + 1>& table, float v) {
    const float p = (std::isnan(v) ? 0.0f : std::clamp(v, 0.0f, 1.0f)) * (samples - 1);
    const int j = int(p);
    const float f = p - float(j);
    return (1 - f) * table[std::size_t(j)] + f * table[std::size_t(j) + 1];
}

inline Develop::RGB apply(const FloatTables& tables, const Develop::RGB& pixel) {
    return {lookup(tables.channel[0], pixel.r), lookup(tables.channel[1], pixel.g), lookup(tables.channel[2], pixel.b)};
}

// A set of point curves applied to a picture (sRGB-encoded values, alpha
// kept); nothing when the set has no usable curve. The tone sliders and the
// parametric curve reach the picture through this too.
std::optional<Imaging::Image> filter(const Set& set, const Imaging::Image& image);

// The look's point curves as a develop stage (when present and not empty); nothing
// when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Curves
