#pragma once
// Colour spaces given by ICC profiles, through Little CMS: bringing 8-bit
// pixels of a photo's own colour space into the linear sRGB working space,
// encoding working pixels into a profile's colour space, and building the
// profiles that files name only by their primaries and tone curve.
//
// What is known about a profile is worked out once and cached by the
// profile's bytes (the cache lock is held only around lookup and store).
// All functions are safe to call from several threads.

#include <array>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/imaging/bitmap.h"
#include "engine/imaging/image.h"

namespace ColourSpaces {

using Bytes = std::vector<std::uint8_t>;

// Whether the profile describes sRGB's colours (to well within one 8-bit
// step). An empty profile counts as sRGB; a profile the colour library cannot
// use, or one that is not RGB, does not.
bool isSRGB(const Bytes& icc);

// Whether the profile is an RGB profile the colour library can convert from
// and to.
bool isUsableRGB(const Bytes& icc);

// The 8-bit picture, whose values are encoded in the colour space of `icc`,
// as linear sRGB floats with alpha 1; colours outside sRGB become values
// outside 0…1. For sRGB (an empty profile, a profile that describes sRGB, or
// one that cannot be used) this is exactly the sRGB decode of the values.
Imaging::Image linearFromBitmap(const Imaging::Bitmap& bitmap, const Bytes& icc);

// Encodes one row of pixels into 8-bit values of the colour space of `icc`
// (four bytes a pixel; the fourth is left as it is). `linear` says whether
// the row holds linear sRGB values or sRGB-encoded ones; values beyond 0…1
// are converted as they are and only the result is clipped to 8 bits.
// False when the profile cannot be used.
class Encoder {
public:
    Encoder(const Bytes& icc, bool linear);
    bool usable() const { return transform_ != nullptr; }
    void encodeRow(const Imaging::Pixel* in, std::uint8_t* out, int count) const;

private:
    void* transform_ = nullptr;
    std::shared_ptr<const void> keep_;  // what owns the transform
};

// Chromaticities of a colour space's red, green and blue primaries and of its
// white point (x, y each).
struct Chromaticities {
    std::array<double, 2> red, green, blue, white;
};

// A tone curve as the ICC parametric curve of type 4:
// y = (a x + b)^gamma for x ≥ d, c x below.
struct ToneCurve {
    double gamma = 1, a = 1, b = 0, c = 0, d = 0;
};

inline constexpr ToneCurve sRGBCurve{2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};

// A version 2 RGB profile of these primaries and tone curve, described by
// `description`. The same arguments give the same bytes in every process.
Bytes rgbProfile(const Chromaticities& primaries, const ToneCurve& curve, const std::string& description);

// A profile with the colours of Adobe RGB (1998), made once per process.
const Bytes& adobeRGBProfile();

}  // namespace ColourSpaces
