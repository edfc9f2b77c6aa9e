#pragma once
// Film grain: value noise fixed to pixel positions, strongest in the
// mid-tones, its cell size and strength following the picture's long side.

#include <algorithm>
#include <optional>

#include "engine/imaging/image.h"
#include "engine/develop/look.h"
#include "engine/imaging/colour/rgb.h"

namespace Grain {

inline constexpr double defaultSize = 25;
inline constexpr double defaultRoughness = 50;

struct Parameters {
    float cell = 1;       // noise cell in pixels, at least 1
    float amount = 0;     // strength
    float roughness = 0;  // 0…1: how much finer and clumpier the grain gets
};

// The grain a look asks for on a picture of the given size; nothing when
// `grainAmount` is absent, not a number or not above 0.
std::optional<Parameters> parameters(const Develop::Look& look, int width, int height);

namespace Noise {

// floor for the lattice coordinates (far inside the int range), without a
// library call and without a branch, so that rows of pixels vectorise.
inline float floorOf(float v) {
    const int truncated = int(v);
    return float(truncated - (float(truncated) > v));
}

inline float fract(float v) { return v - floorOf(v); }
inline float mix(float a, float b, float t) { return a + (b - a) * t; }

}  // namespace Noise

// Pseudo-random value in 0…1 of a lattice point.
inline float hash(float x, float y) {
    float p3x = Noise::fract(x * 0.1031f), p3y = Noise::fract(y * 0.1031f), p3z = Noise::fract(x * 0.1031f);
    const float d = p3x * (p3y + 33.33f) + p3y * (p3z + 33.33f) + p3z * (p3x + 33.33f);
    p3x += d;
    p3y += d;
    p3z += d;
    return Noise::fract((p3x + p3y) * p3z);
}

// Smooth value noise in −0.5…0.5.
inline float noise(float x, float y) {
    const float ix = Noise::floorOf(x), iy = Noise::floorOf(y);
    float fx = x - ix, fy = y - iy;
    fx = fx * fx * (3 - 2 * fx);
    fy = fy * fy * (3 - 2 * fy);
    const float bottom = Noise::mix(hash(ix, iy), hash(ix + 1, iy), fx);
    const float top = Noise::mix(hash(ix, iy + 1), hash(ix + 1, iy + 1), fx);
    return Noise::mix(bottom, top, fy) - 0.5f;
}

// The grain at (x, y), the pixel's centre in picture coordinates (origin
// bottom-left, centres at half-integers), before the tone weighting: it
// depends only on the position and the picture size.
inline float grainAt(float x, float y, const Parameters& p) {
    const float qx = (x - 0.5f) / p.cell, qy = (y - 0.5f) / p.cell;
    const float even = noise(qx, qy);
    const float fine = noise(2.13f * qx + 17, 2.13f * qy + 31);
    const float clump = noise(0.37f * qx + 53, 0.37f * qy + 7);
    const float n = Noise::mix(even, 0.6f * even + 0.6f * fine, p.roughness) * (1 + 1.6f * p.roughness * clump);
    return p.amount * n;
}

// A pixel with the grain of its position added, strongest in the mid-tones.
inline Colour::RGB withGrain(const Colour::RGB& s, float grain) {
    const float luma = Colour::luma709(s);
    const float tone = 0.25f + 0.75f * std::clamp(4 * luma * (1 - luma), 0.0f, 1.0f);
    const float change = grain * tone;
    return {std::clamp(s.r + change, 0.0f, 1.0f), std::clamp(s.g + change, 0.0f, 1.0f),
            std::clamp(s.b + change, 0.0f, 1.0f)};
}

// One pixel with grain; (x, y) as for `grainAt`.
inline Colour::RGB apply(const Colour::RGB& s, float x, float y, const Parameters& p) {
    return withGrain(s, grainAt(x, y, p));
}

// Grain as a develop stage; nothing when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Grain
