#pragma once
// Presence: dehaze, texture and clarity.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Presence {

// Dehaze, texture and clarity on sRGB-encoded values. Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Presence
