#pragma once
// Spot removal: finds small skin blemishes inside face regions, remembers
// them per photo, and repairs them by cloning nearby skin with a Poisson
// (gradient-domain) reconstruction.
//
// Everything works on 8-bit rasters: the picture and the spot mask are
// rendered once, detection runs on a copy at most `detectionLongEdge` pixels
// long, and the repairs are added back to the working picture as differences
// so that untouched pixels keep their float values exactly.
//
// Coordinates of spots are bitmap coordinates (origin at the top-left pixel,
// y down); face rectangles are in the picture's own coordinates (origin at
// the bottom-left, y up).

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/imaging/bitmap.h"
#include "engine/imaging/image.h"

namespace SpotHeal {

inline constexpr int maximumSpots = 160;
inline constexpr std::int64_t maximumPixels = 24000000;
inline constexpr int detectionLongEdge = 2560;
inline constexpr double listed = 12;     // contrast (8-bit luma steps) of a spot pixel
inline constexpr double standsOut = 2.8; // standardised contrast a dark spot must reach

// What happens to a spot.
enum State : int {
    kept = 0,      // a keep point lies inside: listed, never healed
    selected = 1,  // detected at or above the threshold: healed
    below = 2,     // detected below the threshold: listed only, does not block donors
    noDonor = 3,   // healing found no acceptable donor
    brushed = 4,   // placed by hand: healed whenever a donor exists
};

struct Spot {
    int x = 0;
    int y = 0;
    int radius = 3;
    double score = 0;
    int state = selected;
    int sx = -1;  // donor centre chosen by healing, -1 until healed
    int sy = -1;
};

struct Failure : std::runtime_error {
    explicit Failure(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

// A rectangle in doubles, picture coordinates (origin bottom-left, y up). A
// rectangle with a non-finite value is null or infinite.
struct Box {
    double x = 0, y = 0, width = 0, height = 0;
};

struct Face {
    double width = 0;  // face width in pixels
    Box bounds;        // where to search
};

// A point in pixels of a raster (x right, y down).
struct PixelPoint {
    double x = 0, y = 0;
};

// The score a detected spot needs to be healed at sensitivity s (normally 0…1).
double threshold(double sensitivity);

// Detection in one face region of a w×h raster: `rgba` RGBA 8-bit, `skin` the
// single-channel spot mask, `donors` a single-channel map cleared to 0 where
// pixels look like blemishes. `face` and `keep` are in this raster's scale.
std::vector<Spot> find(const Imaging::Bitmap& rgba, const Imaging::Bitmap& skin, Imaging::Bitmap& donors,
                       const Face& face, double threshold, const std::vector<PixelPoint>& keep);

// The remembered spots of `key` (storing `spots` first when the key is new),
// placed in a w×h picture with states from the sensitivity and the keep points
// (relative, as given by the caller).
std::vector<Spot> remembered(const std::vector<Spot>& spots, const std::string& key, int w, int h,
                             double sensitivity, const std::vector<std::vector<double>>& keep);

// The detection half of `apply`: the full-resolution rasters, the donor map
// and the final, ordered list of spots.
struct Detection {
    Imaging::Bitmap rgba;    // w×h RGBA
    Imaging::Bitmap skin;    // w×h single channel
    Imaging::Bitmap donors;  // w×h single channel
    std::vector<Spot> spots;
};
Detection detect(const Imaging::Image& image, const Imaging::Image& skin, const std::vector<Face>& faces,
                 double sensitivity, const std::vector<std::vector<double>>& keep,
                 const std::vector<std::vector<double>>& brush, const std::optional<std::string>& detectionKey);

// An RGB patch in doubles, row-major.
using Patch = std::vector<std::array<double, 3>>;

// Repairs the spots in state 1 or 4 in a copy of `rgba` and returns it;
// updates the spots' state, sx and sy.
Imaging::Bitmap heal(const Imaging::Bitmap& rgba, const Imaging::Bitmap& skin, const Imaging::Bitmap& donors,
                     std::vector<Spot>& spots);

// The donor's gradients inside a side×side patch with the target's border.
Patch reconstruct(const Patch& donor, const Patch& target, int side);

// One pixel of the difference blend: original + positive − negative, alpha of the original.
inline Imaging::Pixel spotBlend(const Imaging::Pixel& original, const Imaging::Pixel& positive,
                                const Imaging::Pixel& negative) {
    return {original.r + positive.r - negative.r, original.g + positive.g - negative.g,
            original.b + positive.b - negative.b, original.a};
}

struct Result {
    Imaging::Image image;
    // One entry per spot: (x + 0.5) / w, (y + 0.5) / h, radius / w, state.
    std::vector<std::vector<double>> spots;
};

Result apply(const Imaging::Image& image, const Imaging::Image& skin, const std::vector<Face>& faces,
             double sensitivity, const std::vector<std::vector<double>>& keep,
             const std::vector<std::vector<double>>& brush, const std::optional<std::string>& detectionKey);

}  // namespace SpotHeal
