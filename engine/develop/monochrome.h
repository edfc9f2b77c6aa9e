#pragma once
// Black and white: every pixel becomes the grey of its OKLab lightness,
// shifted per colour band by the look's grey mix — a positive band value
// lightens that band's colours, a negative one darkens them, more for
// colourful pixels and less where there is no room left.

#include <array>
#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"
#include "engine/develop/monochrome_mix.h"
#include "engine/imaging/colour/oklab.h"
#include "engine/imaging/colour/rgb.h"

namespace Monochrome {

// Per-band strengths, in band order (red … magenta).
inline constexpr ColorMix::BandValues darken = {3.1f, 4.5f, 4.7f, 3.3f, 3.3f, 2.2f, 3.9f, 1.6f};
inline constexpr ColorMix::BandValues lighten = {2.0f, 2.5f, 2.8f, 2.1f, 2.1f, 1.2f, 2.6f, 1.2f};

// The band values the conversion reads (each −1…1, in band order); an absent
// mix is all zeros, which still converts to grey.
ColorMix::BandValues values(const std::optional<Mix>& mix);

// The grey lightness of one OKLab colour.
float grayLightness(const OKLab::Lab& lab, const ColorMix::BandValues& mix);

// One pixel to grey: the grey of `grayLightness`.
Colour::RGB gray(const Colour::RGB& pixel, const ColorMix::BandValues& mix);

// The black-and-white conversion with the look's grey mix as a develop stage.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Monochrome
