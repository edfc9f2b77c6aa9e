#pragma once
// Black and white conversion with a band mix.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Monochrome {

// The black-and-white conversion with the look's grey mix. Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Monochrome
