#pragma once
// Point curves: master and per-channel.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Curves {

// The look's point curves (when present and not empty). Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Curves
