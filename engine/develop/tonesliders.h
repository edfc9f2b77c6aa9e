#pragma once
// Tone sliders (highlights, shadows, whites, blacks, contrast) and the four
// regions of the parametric curve. Each slider owns a measured table of
// tone-curve corrections at the positions −100, −50, +50 and +100, sampled at
// 21 input tones; a look's corrections are interpolated from the tables,
// chained into one 21-point tone curve and applied as a master point curve.

#include <array>
#include <optional>
#include <span>

#include "engine/imaging/image.h"
#include "engine/imaging/colour/curves_set.h"
#include "engine/develop/look.h"

namespace RangeEnds {

inline constexpr int tones = 21;  // correction j applies at input tone j / 20

// 21 corrections, one per input tone.
using Deltas = std::array<double, tones>;

// A slider's measured corrections at four positions; position 0 is all zeros.
struct Table {
    Deltas minus100;
    Deltas minus50;
    Deltas plus50;
    Deltas plus100;
};

extern const Table whites;
extern const Table blacks;

// The corrections of one slider at `value` (clamped to −100…100), linearly
// interpolated between the two neighbouring table positions.
Deltas delta(double value, const Table& table);

}  // namespace RangeEnds

namespace ToneSliders {

extern const RangeEnds::Table highlights;
extern const RangeEnds::Table shadows;
extern const RangeEnds::Table contrast;

// The outputs of the 21-point tone curve at inputs i / 20.
using ToneCurve = std::array<double, RangeEnds::tones>;

// Chains corrections: each is looked up at the tone the previous ones
// produced, and the curve is kept non-decreasing.
ToneCurve compose(std::span<const RangeEnds::Deltas> corrections);

// The curve's 21 points [x, y], ready as a master point curve.
Curves::Points points(const ToneCurve& curve);

// The master curve of the look's highlights, shadows, whites, blacks and
// contrast (in that order); nothing when all five are 0 or absent.
std::optional<Curves::Set> curves(const Develop::Look& look);

// The tone sliders as a develop stage on sRGB-encoded values; nothing when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ToneSliders

namespace ParametricCurve {

extern const RangeEnds::Table shadows;
extern const RangeEnds::Table darks;
extern const RangeEnds::Table lights;
extern const RangeEnds::Table highlights;

// The master curve of the look's curveShadows, curveDarks, curveLights and
// curveHighlights (in that order); nothing when all four are 0 or absent.
std::optional<Curves::Set> curves(const Develop::Look& look);

// The parametric curve as a develop stage; nothing when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ParametricCurve
