#pragma once
// Film grain: value noise fixed to pixel positions, strongest in the
// mid-tones, its cell size and strength following the picture's long side.

#include <optional>

#include "engine/imaging/image.h"
#include "engine/develop/look.h"
#include "engine/develop/rgb.h"

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

// Pseudo-random value in 0…1 of a lattice point.
float hash(float x, float y);
// Smooth value noise in −0.5…0.5.
float noise(float x, float y);

// One pixel with grain. (x, y) is the pixel's centre in picture coordinates
// (origin bottom-left, centres at half-integers), so the pattern depends only
// on the position and the picture size.
Develop::RGB apply(const Develop::RGB& pixel, float x, float y, const Parameters& parameters);

// Grain as a develop stage; nothing when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Grain
