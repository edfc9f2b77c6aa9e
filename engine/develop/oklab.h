#pragma once
// OKLab conversions shared by the colour stages, and the eight colour bands
// that the colour mix and the black-and-white mix weight pixels by.
// Everything here works in single precision, like the stage kernels.

#include <array>

#include "engine/develop/rgb.h"

namespace OKLab {

struct Lab {
    float L = 0;
    float a = 0;
    float b = 0;
};

// sRGB decoding, not clamped: negatives stay linear, values above 1 pass through.
float linear(float v);
// sRGB encoding of v clamped to 0…1.
float encode(float v);
// Cube root, sign kept (to float precision, faster than std::cbrt).
float cubeRoot(float v);

// OKLab of an sRGB-encoded colour.
Lab fromSRGB(const Develop::RGB& rgb);
// OKLab of a linear sRGB colour.
Lab fromLinear(const Develop::RGB& linear);
// Linear sRGB of an OKLab colour, unclamped.
Develop::RGB toLinear(const Lab& lab);
// sRGB-encoded colour of an OKLab colour, each channel clamped to 0…1.
Develop::RGB screen(const Lab& lab);

// Length of (a, b).
float chroma(const Lab& lab);
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
