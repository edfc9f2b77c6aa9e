#pragma once
// Saturation and vibrance.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace ChromaSliders {

// Saturation and vibrance on sRGB-encoded values. Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ChromaSliders
