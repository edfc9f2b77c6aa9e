#include "engine/develop/grain.h"

#include <algorithm>
#include <cmath>

namespace Grain {

std::optional<Parameters> parameters(const Develop::Look& look, int width, int height) {
    if (!look.grainAmount || !(*look.grainAmount > 0)) return std::nullopt;
    const double g = std::min(*look.grainAmount, 100.0) / 100;
    const double size = std::clamp(look.grainSize.value_or(defaultSize), 0.0, 100.0);
    const double rough = std::clamp(look.grainRoughness.value_or(defaultRoughness), 0.0, 100.0);
    const double w = (size / 100 * 4 + 1) * std::max(width, height) / 6000.0;
    return Parameters{static_cast<float>(std::max(w, 1.0)), static_cast<float>(g * 0.28 * std::min(w, 1.0)),
                      static_cast<float>(rough / 100)};
}

}  // namespace Grain
