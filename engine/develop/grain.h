#pragma once
// Film grain.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Grain {

// Grain of the look's amount, size and roughness. Nothing when it has nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Grain
