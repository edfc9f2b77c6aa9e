// Stroke healing is not built yet: it has nothing to do.

#include "engine/healing/area_heal.h"

namespace AreaHeal {
std::optional<Imaging::Image> apply(const Imaging::Image&, const Develop::Look&) { return std::nullopt; }
}  // namespace AreaHeal
