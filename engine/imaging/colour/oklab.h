#pragma once
// OKLab conversions shared by the colour stages, and the eight colour bands
// that the colour mix and the black-and-white mix weight pixels by.
// Everything here works in single precision, like the stage kernels.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "engine/imaging/colour/rgb.h"
#include "engine/imaging/image.h"

namespace OKLab {

struct Lab {
    float L = 0;
    float a = 0;
    float b = 0;
};

// sRGB decoding (the imaging core's table), not clamped: negatives stay on
// the straight segment through 0 (the table would mirror the curve), values
// above 1 take the formula.
inline float linear(float v) { return v < 0 ? v / 12.92f : Imaging::sRGBDecoder()(v); }

// sRGB encoding of v clamped to 0…1 (NaN stays NaN).
inline float encode(float v) { return Imaging::sRGBEncoder()(std::clamp(v, 0.0f, 1.0f)); }

// Cube root, sign kept, to float precision (faster than std::cbrt).
inline float cubeRoot(float v) {
    const float x = std::fabs(v);
    if (x == 0 || !std::isfinite(x)) return std::cbrt(v);
    // A first guess from the exponent bits (within a few per cent), then two
    // Halley steps, each of which triples the number of correct digits.
    float y = std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) / 3 + 709921077u);
    for (int step = 0; step < 2; ++step) {
        const float y3 = y * y * y;
        y = y * (y3 + 2 * x) / (2 * y3 + x);
    }
    return std::copysign(y, v);
}

// OKLab of a linear sRGB colour.
inline Lab fromLinear(const Colour::RGB& c) {
    const float l = cubeRoot(0.4122214708f * c.r + 0.5363325363f * c.g + 0.0514459929f * c.b);
    const float m = cubeRoot(0.2119034982f * c.r + 0.6806995451f * c.g + 0.1073969566f * c.b);
    const float s = cubeRoot(0.0883024619f * c.r + 0.2817188376f * c.g + 0.6299787005f * c.b);
    return {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * s,
            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * s,
            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * s};
}

// OKLab of an sRGB-encoded colour.
inline Lab fromSRGB(const Colour::RGB& rgb) { return fromLinear({linear(rgb.r), linear(rgb.g), linear(rgb.b)}); }

// Linear sRGB of an OKLab colour, unclamped.
inline Colour::RGB toLinear(const Lab& lab) {
    const float l = lab.L + 0.3963377774f * lab.a + 0.2158037573f * lab.b;
    const float m = lab.L - 0.1055613458f * lab.a - 0.0638541728f * lab.b;
    const float s = lab.L - 0.0894841775f * lab.a - 1.2914855480f * lab.b;
    const float l3 = l * l * l, m3 = m * m * m, s3 = s * s * s;
    return {4.0767416621f * l3 - 3.3077115913f * m3 + 0.2309699292f * s3,
            -1.2684380046f * l3 + 2.6097574011f * m3 - 0.3413193965f * s3,
            -0.0041960863f * l3 - 0.7034186147f * m3 + 1.7076147010f * s3};
}

// sRGB-encoded colour of an OKLab colour, each channel clamped to 0…1.
inline Colour::RGB screen(const Lab& lab) {
    const auto c = toLinear(lab);
    return {encode(c.r), encode(c.g), encode(c.b)};
}

// Length of (a, b).
inline float chroma(const Lab& lab) { return std::sqrt(lab.a * lab.a + lab.b * lab.b); }

// atan2(b, a) in degrees, 0…360.
float hueDegrees(const Lab& lab);

}  // namespace OKLab

namespace ColorMix {

// The colour bands, in the order every band list uses: red, orange, yellow,
// green, aqua, blue, purple, magenta.
inline constexpr int bandCount = 8;

using BandValues = std::array<float, bandCount>;

// Rises over [ps, pe], falls over [s, e].
float fade(float h, float ps, float pe, float s, float e);
// fade taken round the hue circle.
float weight(float h, float ps, float pe, float s, float e);
// How much a hue (degrees, 0…360) belongs to each band; neighbouring bands
// cross-fade so that their weights sum to 1.
BandValues bandWeights(float hueDegrees);

}  // namespace ColorMix
