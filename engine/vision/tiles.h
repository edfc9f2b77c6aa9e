#pragma once
// The regions of a picture that the face detector looks at one by one.

#include <vector>

namespace FaceTiles {

struct Tile {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The network sees 256 x 256 pixels and finds faces down to about 16 of
// those pixels wide. The whole picture is searched first, which finds every
// face wider than a sixteenth of the long edge. A picture whose long edge
// exceeds `largestTile` is then also searched in square tiles, on one or more
// levels whose tile sides shrink by at most a factor of 3.75 from the long
// edge down to `finestTile`. Neighbouring tiles overlap by a quarter of their
// side, so every face up to that width lies whole inside some tile, and wider
// faces are found on the coarser level above. A face of 40 pixels in a
// 1600-pixel picture is 16 network pixels wide on the finest level, where
// seven passes cover a 1600 x 1067 picture.
inline constexpr int largestTile = 640;
inline constexpr int finestTile = 640;

// A tile reports faces up to this share of its side only: a larger face seldom
// lies whole inside it, its parts can pass for faces, and the coarser level
// above finds it whole.
inline constexpr double largestFaceShare = 1.0 / 3;

// The tiles of a width x height picture: the whole picture first, then every
// level's tiles, coarse to fine, row by row.
std::vector<Tile> layout(int width, int height);

}  // namespace FaceTiles
