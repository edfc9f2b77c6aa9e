// Point curves as a develop stage: three channel tables, one lookup per
// pixel and channel (the row kernel: engine/imaging/colour/point_curves.h).

#include "engine/develop/curves.h"

namespace Curves {

std::optional<Imaging::Image> filter(const Set& set, const Imaging::Image& image) {
    const std::optional<Tables> tables = channelTables(set);
    if (!tables) return std::nullopt;
    const FloatTables lookups(*tables);
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            applyRow(lookups, image.mat().ptr<Imaging::Pixel>(row), out.mutableMat().ptr<Imaging::Pixel>(row), w);
    });
    return out;
}

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    if (!look.curve || look.curve->isEmpty()) return std::nullopt;
    return filter(*look.curve, image);
}

}  // namespace Curves
