#pragma once
// Detail: noise reduction and sharpening.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Detail {

// Luminance and colour noise reduction; `scale` is the picture's size relative
// to the full-size photo. Nothing when it has nothing to do.
std::optional<Imaging::Image> reduceNoise(const Develop::Look& look, const Imaging::Image& image, double scale);

// Sharpening of the look's amount, radius, detail and masking at `scale`.
std::optional<Imaging::Image> sharpen(const Develop::Look& look, const Imaging::Image& image, double scale);

}  // namespace Detail
