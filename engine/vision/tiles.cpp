#include "engine/vision/tiles.h"

#include <algorithm>
#include <cmath>

namespace FaceTiles {

namespace {

// Start positions of tiles of `side` along an edge of `length`, overlapping by
// at least a quarter of the side and spread evenly from one end to the other.
std::vector<int> starts(int length, int side) {
    if (side >= length) return {0};
    const int stride = side - side / 4;
    const int count = (length - side + stride - 1) / stride + 1;
    std::vector<int> out;
    for (int i = 0; i < count; ++i)
        out.push_back(int(std::lround(double(i) * (length - side) / (count - 1))));
    return out;
}

}  // namespace

std::vector<Tile> layout(int width, int height) {
    std::vector<Tile> out;
    if (width <= 0 || height <= 0) return out;
    out.push_back({0, 0, width, height});
    const int longEdge = std::max(width, height);
    if (longEdge <= largestTile) return out;

    // As few levels as keep each step at most 3 (measured against largestTile),
    // spaced evenly between the long edge and finestTile.
    const int levels = int(std::ceil(std::log(double(longEdge) / largestTile) / std::log(3.0) - 1e-9));
    const double ratio = std::pow(double(longEdge) / finestTile, 1.0 / levels);
    for (int level = 1; level <= levels; ++level) {
        const int side = level == levels ? finestTile : int(std::lround(longEdge / std::pow(ratio, level)));
        const int w = std::min(side, width);
        const int h = std::min(side, height);
        for (int y : starts(height, h))
            for (int x : starts(width, w)) out.push_back({x, y, w, h});
    }
    return out;
}

}  // namespace FaceTiles
