// Point curves as a develop stage: three channel tables, one lookup per
// pixel and channel.

#include "engine/develop/curves.h"
#include "engine/develop/stage_kernels.h"

namespace Curves {

std::optional<Imaging::Image> filter(const Set& set, const Imaging::Image& image) {
    const std::optional<Tables> tables = channelTables(set);
    if (!tables) return std::nullopt;
    const FloatTables lookups(*tables);
    return Develop::mapColour(image, [&lookups](const Develop::RGB& c) { return apply(lookups, c); });
}

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (!look.curve || look.curve->isEmpty()) return std::nullopt;
    return filter(*look.curve, image);
}

}  // namespace Curves
