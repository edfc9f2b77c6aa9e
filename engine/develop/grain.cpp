#include "engine/develop/grain.h"

#include <algorithm>
#include <cmath>

namespace Grain {

namespace {

// floor without a library call (the lattice coordinates stay far below 2^23).
float floorOf(float v) {
    if (!(std::fabs(v) < 8388608.0f)) return std::floor(v);
    const float t = float(int(v));
    return t > v ? t - 1 : t;
}

float fract(float v) { return v - floorOf(v); }
float mix(float a, float b, float t) { return a + (b - a) * t; }

}  // namespace

std::optional<Parameters> parameters(const Develop::Look& look, int width, int height) {
    if (!look.grainAmount || !(*look.grainAmount > 0)) return std::nullopt;
    const double g = std::min(*look.grainAmount, 100.0) / 100;
    const double size = std::clamp(look.grainSize.value_or(defaultSize), 0.0, 100.0);
    const double rough = std::clamp(look.grainRoughness.value_or(defaultRoughness), 0.0, 100.0);
    const double w = (size / 100 * 4 + 1) * std::max(width, height) / 6000.0;
    return Parameters{static_cast<float>(std::max(w, 1.0)), static_cast<float>(g * 0.28 * std::min(w, 1.0)),
                      static_cast<float>(rough / 100)};
}

float hash(float x, float y) {
    float p3x = fract(x * 0.1031f), p3y = fract(y * 0.1031f), p3z = fract(x * 0.1031f);
    const float d = p3x * (p3y + 33.33f) + p3y * (p3z + 33.33f) + p3z * (p3x + 33.33f);
    p3x += d;
    p3y += d;
    p3z += d;
    return fract((p3x + p3y) * p3z);
}

float noise(float x, float y) {
    const float ix = floorOf(x), iy = floorOf(y);
    float fx = x - ix, fy = y - iy;
    fx = fx * fx * (3 - 2 * fx);
    fy = fy * fy * (3 - 2 * fy);
    const float bottom = mix(hash(ix, iy), hash(ix + 1, iy), fx);
    const float top = mix(hash(ix, iy + 1), hash(ix + 1, iy + 1), fx);
    return mix(bottom, top, fy) - 0.5f;
}

Develop::RGB apply(const Develop::RGB& s, float x, float y, const Parameters& p) {
    const float qx = (x - 0.5f) / p.cell, qy = (y - 0.5f) / p.cell;
    const float even = noise(qx, qy);
    const float fine = noise(2.13f * qx + 17, 2.13f * qy + 31);
    const float clump = noise(0.37f * qx + 53, 0.37f * qy + 7);
    const float n = mix(even, 0.6f * even + 0.6f * fine, p.roughness) * (1 + 1.6f * p.roughness * clump);
    const float luma = Develop::luma709(s);
    const float tone = 0.25f + 0.75f * std::clamp(4 * luma * (1 - luma), 0.0f, 1.0f);
    const float change = p.amount * n * tone;
    return {std::clamp(s.r + change, 0.0f, 1.0f), std::clamp(s.g + change, 0.0f, 1.0f),
            std::clamp(s.b + change, 0.0f, 1.0f)};
}

}  // namespace Grain
