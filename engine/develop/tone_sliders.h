#pragma once
// Tone sliders: contrast, highlights, shadows, whites and blacks.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace ToneSliders {

// The tone sliders on sRGB-encoded values. Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ToneSliders
