#pragma once
// Point curves: each list of control points becomes a smooth, monotone-
// preserving curve sampled at 256 inputs; the red, green and blue curves are
// composed with the master curve into three lookup tables applied per pixel
// to sRGB-encoded values. The tables and their lookups; the develop stage
// that applies a look's curves is in engine/develop/curves.h.

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

#include "engine/imaging/colour/curves_set.h"
#include "engine/imaging/colour/rgb.h"

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

inline Colour::RGB apply(const FloatTables& tables, const Colour::RGB& pixel) {
    return {lookup(tables.channel[0], pixel.r), lookup(tables.channel[1], pixel.g), lookup(tables.channel[2], pixel.b)};
}

}  // namespace Curves
