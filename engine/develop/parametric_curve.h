#pragma once
// The parametric tone curve of four regions.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace ParametricCurve {

// The parametric curve on sRGB-encoded values. Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ParametricCurve
