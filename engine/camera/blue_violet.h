#pragma once
// The blue–violet correction of RAW renderings without a camera profile:
// moves blues and violets towards the camera's own rendering of them (less
// chroma through the mid-tones, a little lift, violet-blue turned towards
// purple). Other hues pass untouched.

#include <optional>

#include "engine/imaging/colour/rgb.h"
#include "engine/imaging/image.h"

namespace BlueViolet {

inline constexpr float chromaScale = 0.72f;
inline constexpr float liftPerChroma = 0.42f;
inline constexpr float purpleTurn = 24.0f;  // degrees
inline constexpr float brightFade = 0.4f;
inline constexpr float darkStart = 0.12f;
inline constexpr float darkEnd = 0.4f;
inline constexpr float brightTurnCut = 0.75f;

// One sRGB-encoded pixel through the correction.
Colour::RGB correct(const Colour::RGB& pixel);

// The same over `count` sRGB-encoded pixels in place, alpha kept, in
// vectorised passes (hue and turn by `FastMath`; within 1e-4 of `correct`).
void correctRow(Imaging::Pixel* pixels, int count);

}  // namespace BlueViolet
