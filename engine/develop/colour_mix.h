#pragma once
// The eight-band colour mix.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace ColorMix {

// The look's colour mix (when present and not empty). Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ColorMix
