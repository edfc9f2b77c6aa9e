#pragma once
// Heal and remove strokes painted by the user.
//
// A heal stroke is repaired by copying a nearby patch of the picture over it
// (the donor offset is searched on a small raster around the stroke) and
// correcting the copy with a smooth membrane so that its colours meet the
// surroundings without a seam. Remove strokes are handed to RemoveFill.
//
// Boxes and rasters count pixels from the top-left corner of the picture with
// y down; the working picture's extent has its origin at the bottom-left, so a
// box becomes an image rectangle by flipping rows (`Box::ci`). The repairs are
// made on 8-bit rasters and added back to the working picture as positive and
// negative differences, so pixels outside a stroke's box keep their values
// exactly.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/develop/look.h"
#include "engine/imaging/bitmap.h"
#include "engine/imaging/image.h"

namespace AreaHeal {

inline constexpr int searchSide = 192;            // long side of the donor search raster
inline constexpr int membraneSide = 128;          // long side of the correction grid
inline constexpr std::int64_t maximumAreaPixels = 12000000;  // largest padded stroke box healed

struct Failure : std::runtime_error {
    explicit Failure(const std::string& description) : std::runtime_error(description) {}
    std::string description() const { return what(); }
};

// A pixel rectangle: top-left corner, width, height.
struct Box {
    int x = 0, y = 0, w = 0, h = 0;

    bool intersects(const Box& other) const {
        return !(other.x >= x + w || x >= other.x + other.w || other.y >= y + h || y >= other.y + other.h);
    }
    // Grown by p on every side and clipped to the W×H picture.
    Box padded(int p, int W, int H) const;
    // The image rectangle of the box in a picture H pixels high.
    Imaging::Rect ci(int H) const { return Imaging::Rect::fromTopLeft(x, y, w, h, H); }
    bool operator==(const Box&) const = default;
};

using Stroke = Develop::Look::RemoveArea;

// The look's heal and remove strokes applied to the picture; nothing when
// there are none. Throws its Failure (and RemoveFill's).
std::optional<Imaging::Image> apply(const Imaging::Image& image, const Develop::Look& look);

// The valid "heal" and "remove" strokes applied in order, each seeing the
// result of the ones before. Throws Failure.
Imaging::Image apply(const Imaging::Image& image, const std::vector<Stroke>& areas);

// The brush radius in pixels: max(r·W, 1.5).
double radius(const Stroke& area, int W);

// The box the stroke covers, or nothing when it lies outside the picture.
std::optional<Box> bounds(const Stroke& area, int W, int H);

// The stroke drawn into a grey raster (one byte per pixel) covering `box` at
// `scale`: max(1, round(scale·box.w)) × max(1, round(scale·box.h)).
Imaging::Bitmap mask(const Stroke& area, const Box& box, double scale, int W, int H);

// The RGBA 8-bit pixels of `box` at `scale` (Lanczos when shrinking, edges
// repeated), values as they are in the picture (no colour conversion).
Imaging::Bitmap pixels(const Imaging::Image& image, const Box& box, double scale, int H);

// The picture with two box-sized RGBA difference rasters applied at `box`:
// image + positive − negative, alpha kept; outside the box it is unchanged.
// Throws Failure("Could not blend the painted area").
Imaging::Image blendDelta(const Imaging::Image& image, const Imaging::Bitmap& positive,
                          const Imaging::Bitmap& negative, const Box& box, int H);
// The same in place when nobody else holds the picture's pixels.
Imaging::Image blendDelta(Imaging::Image&& image, const Imaging::Bitmap& positive, const Imaging::Bitmap& negative,
                          const Box& box, int H);

// Three passes of a horizontal then vertical moving average over 2·radius + 1
// samples, indices clamped to the row and the column.
std::vector<float> softEdge(std::vector<float> values, int w, int h, int radius);

// A repair: the two difference rasters to apply at `box`.
struct Delta {
    Imaging::Bitmap positive, negative;
    Box box;
    std::optional<Box> source;  // where a heal copied from: `box` moved by the donor offset
};

// Heals one stroke whose box is `box`; `others` holds the boxes of every
// stroke (its own included), which a donor never overlaps. Nothing when the
// stroke is too large, has nothing to heal or no usable donor.
std::optional<Imaging::Image> one(const Stroke& area, const Box& box, const std::vector<Box>& others,
                                  const Imaging::Image& image, int W, int H);
// The repair `one` applies.
std::optional<Delta> repair(const Stroke& area, const Box& box, const std::vector<Box>& others,
                            const Imaging::Image& image, int W, int H);

// The blend of one pixel: original + positive − negative, alpha of the original.
Imaging::Pixel areaBlend(const Imaging::Pixel& original, const Imaging::Pixel& positive,
                         const Imaging::Pixel& negative);

// Luma of 8-bit RGB.
inline double luma(double r, double g, double b) { return 0.299 * r + 0.587 * g + 0.114 * b; }

}  // namespace AreaHeal
