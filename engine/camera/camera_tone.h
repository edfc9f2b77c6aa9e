#pragma once
// Camera tone: the fixed highlight shoulder that follows a camera profile,
// and the tone-match operations (an OKLab lightness curve through 17 knots
// and a scene lift of the shadows) that the pipeline runs when a tone match
// exists for a photo.

#include <filesystem>
#include <optional>
#include <vector>

#include "engine/imaging/colour/point_curves.h"
#include "engine/imaging/colour/curves_set.h"
#include "engine/imaging/colour/rgb.h"
#include "engine/imaging/image.h"

namespace CameraTone {

struct Match {
    std::optional<std::vector<float>> knots;  // 17 lightness values at L = 0, 1/16, …, 1
    float lift = 0;                           // shadow lift of the scene
};

inline constexpr int knotCount = 17;
inline constexpr float colourShare = 0.7f;  // share of the lift gain given to the distance from grey
inline constexpr float toe = 0.012f;

// The master point curve that compresses the top fifth so that white lands at 0.965.
Curves::Set shoulderCurves();

// The cached tone match of a photo file. Nothing produces tone matches yet, so
// this is always nothing.
std::optional<Match> match(const std::filesystem::path& file);

// The lightness curve of a match: its knots with three 1s appended, each
// clamped to 0…1; nothing unless the match holds exactly 17 knots.
std::optional<std::vector<float>> lightnessKnots(const std::optional<Match>& match);

// One sRGB-encoded pixel with its OKLab lightness replaced by the
// piecewise-linear curve through the first 17 knots (chroma and hue kept).
Colour::RGB applyKnots(const std::vector<float>& knots, const Colour::RGB& pixel);

// One pixel of the linear scene lifted by k: brightness rises by
// 1 + k·toe/(y + toe), the distance from grey by that gain to the power 0.7.
Colour::RGB liftPixel(const Colour::RGB& pixel, float k);

// The linear picture lifted by k (alpha kept); nothing when there is nothing to do.
std::optional<Imaging::Image> lift(const Imaging::Image& image, double k);
// The shoulder curves' tables, for applying it pixel by pixel with Curves::apply.
const std::optional<Curves::Tables>& shoulderTables();

}  // namespace CameraTone
