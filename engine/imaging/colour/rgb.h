#pragma once
// One pixel's colour as the per-pixel formulas of the develop stages see it:
// sRGB-encoded red, green and blue (nominally 0…1). Alpha never takes part in
// those formulas; the stage that applies them carries it over unchanged.

namespace Colour {

struct RGB {
    float r = 0;
    float g = 0;
    float b = 0;

    bool operator==(const RGB&) const = default;
};

// Rec. 709 luma of an RGB triple.
inline float luma709(const RGB& c) { return 0.2126f * c.r + 0.7152f * c.g + 0.0722f * c.b; }

}  // namespace Colour
