#pragma once
// Point curves as a develop stage (the tables: engine/imaging/colour/point_curves.h).

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/colour/point_curves.h"
#include "engine/imaging/image.h"

namespace Curves {

// A set of point curves applied to a picture (sRGB-encoded values, alpha
// kept); nothing when the set has no usable curve. The tone sliders and the
// parametric curve reach the picture through this too.
std::optional<Imaging::Image> filter(const Set& set, const Imaging::Image& image);

// The look's point curves as a develop stage (when present and not empty); nothing
// when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Curves
