#pragma once
// OKLab conversions of whole rows, for the stages that work on a picture in
// OKLab: the same formulas and tables as `OKLab::fromSRGB` and
// `OKLab::screen`, written so that the loops vectorise (no branches, no
// library calls). Values outside 0…1 and non-finite ones take the per-pixel
// functions.

#include "engine/imaging/image.h"

namespace OKLab {

// The OKLab values of `count` sRGB-encoded pixels, into three rows.
void fromSRGBRow(const Imaging::Pixel* in, float* L, float* a, float* b, int count);

// The sRGB-encoded pixels of `count` OKLab values (each channel clamped to
// 0…1), alpha taken from `alpha`; `out` may be `alpha`.
void screenRow(const float* L, const float* a, const float* b, const Imaging::Pixel* alpha, Imaging::Pixel* out,
               int count);

// The OKLab values of `count` colours as a trip to sRGB-encoded pixels and
// back (`screen`, then `fromSRGB`) would leave them, for stages that follow
// one another in OKLab: colours inside the sRGB gamut stay as they are (the
// trip would change them by float rounding only), the others — clipped by
// `screen`, and values that are not finite — take the trip.
void settleRow(float* L, float* a, float* b, int count);

}  // namespace OKLab
