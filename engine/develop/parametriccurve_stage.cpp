// The four regions of the parametric curve as a develop stage: one master
// tone curve built from the regions' tables.

#include "engine/develop/curves.h"
#include "engine/develop/tonesliders.h"

namespace ParametricCurve {

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    const std::optional<Curves::Set> set = curves(look);
    if (!set) return std::nullopt;
    return Curves::filter(*set, image);
}

}  // namespace ParametricCurve
