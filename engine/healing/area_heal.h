#pragma once
// Heal and remove strokes painted by the user.

#include <optional>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace AreaHeal {

// The look's heal and remove strokes applied to the picture; nothing when
// there are none. Throws its Failure.
std::optional<Imaging::Image> apply(const Imaging::Image& image, const Develop::Look& look);

}  // namespace AreaHeal
