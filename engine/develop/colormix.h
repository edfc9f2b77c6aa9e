#pragma once
// The eight-band colour mix (hue, saturation, luminance per band) and the
// saturation and vibrance sliders, all worked in OKLab on sRGB-encoded pixels.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numbers>
#include <optional>
#include <vector>

#include "engine/imaging/image.h"
#include "engine/develop/colormix_bands.h"
#include "engine/develop/look.h"
#include "engine/imaging/colour/oklab.h"
#include "engine/imaging/colour/rgb.h"
#include "engine/imaging/fast_math.h"

namespace ColorMix {

// How one band responds to its sliders.
struct Fit {
    double hueMinus;   // hue turn in degrees at full negative hue
    double hueMinusC;  // chroma factor that goes with it
    double huePlus;    // hue turn in degrees at full positive hue
    double huePlusC;   // chroma factor that goes with it
    double satPlus;    // chroma factor at full positive saturation
    double satPlusL;   // lightness change that goes with it
    double satMinusL;  // lightness change (per chroma) at full negative saturation
    double luminance;  // strength of the luminance slider
};

// One row per band, in band order.
extern const std::array<Fit, bandCount> fits;

// A band's settings as the per-pixel mix reads them:
// A = (hue turn in radians, hue chroma factor, saturation factor, saturation lightness),
// B = (luminance change, lightness per chroma for negative saturation, 0, 0).
struct BandVectors {
    std::array<float, 4> A{0, 1, 1, 0};
    std::array<float, 4> B{0, 0, 0, 0};
};

using Parameters = std::array<BandVectors, bandCount>;

// The per-band vectors of a look's bands; nothing when the bands are empty.
std::optional<Parameters> parameters(const Bands& bands);

// The band settings blended at one hue (each band's weighted by the band
// weights over their total): a hue turn in radians, the chroma factor that
// goes with it, the saturation factor and lightness, the luminance change
// and the lightness per chroma for negative saturation.
struct Blended {
    float turn = 0, hueFactor = 1, satFactor = 1, satLightness = 0, luminance = 0, lightnessPerChroma = 0;
};

// The colour mix's formula for one OKLab colour (L, a, b) of chroma C > 0
// with the settings blended at its hue, before the colour is brought into
// gamut. Branch-free, on `FastMath`'s functions, so that row loops call it.
inline OKLab::Lab mixedColour(float L, float a, float b, float C, const Blended& s) {
    // The luminance change: powers of chroma, lightness and the room above it.
    // (Pixels below black can reach a lightness just under 0; the powers need it non-negative.)
    const float Lp = L > 0 ? L : 0.0f;
    const float room = 1 - L > 0.02f ? 1 - L : 0.02f;
    const bool darker = s.luminance < 0;
    const float logC = FastMath::log2(C), logL = FastMath::log2(Lp > 0 ? Lp : 1.0f), logRoom = FastMath::log2(room);
    const float power = darker ? FastMath::exp2(0.84f * logC + 1.68f * logL - 0.35f * logRoom)
                               : FastMath::exp2(0.60f * logC + 2.10f * logL + 0.66f * logRoom);
    float lum = s.luminance * (darker ? 2.075f : 2.706f) * power;
    lum = Lp > 0 ? lum : 0.0f;
    lum = s.luminance != 0 ? lum : 0.0f;

    float L2 = L + lum + s.satLightness + s.lightnessPerChroma * C;
    L2 = L2 < 0 ? 0.0f : L2;
    L2 = L2 > 1 ? 1.0f : L2;
    const float fade = 1 - C / 0.25f;
    const float k = s.satFactor >= 1 ? 1 + (s.satFactor - 1) * (fade > 0 ? fade : 0.0f) : s.satFactor;
    // Turned by `turn` from the hue (a, b)/C: the sum of the two angles.
    const float scale = s.hueFactor * k;  // the new chroma over the old one
    const float c = FastMath::cosSmall(s.turn), sn = FastMath::sinSmall(s.turn);
    return {L2, scale * (a * c - b * sn), scale * (b * c + a * sn)};
}

// One pixel through the colour mix. Greys (OKLab chroma below 0.0005) come
// back unchanged; a colour pushed out of gamut keeps its lightness and hue
// and loses just enough chroma to fit.
Colour::RGB mix(const Colour::RGB& pixel, const Parameters& parameters);

// The same in OKLab: nothing for a grey, which keeps its pixel unchanged.
std::optional<OKLab::Lab> mixLab(const OKLab::Lab& lab, const Parameters& parameters);

// A colour outside the sRGB gamut with just enough chroma taken away to fit
// (eight halvings), its lightness and hue kept; colours inside come back as they are.
OKLab::Lab intoGamut(OKLab::Lab lab);

// A value given per band, weighted by the band weights at each whole hue
// degree 0…361. `bandWeights` interpolates linearly between whole degrees,
// so interpolating these gives what weighting the bands at the hue would.
struct DegreeValues {
    static constexpr int size = 362;
    std::array<float, size> table{};
    explicit DegreeValues(const BandValues& perBand);
    // The value at a hue `f` of the way from whole degree `d` (0…360) to the next.
    float operator()(int d, float f) const {
        const float* t = table.data();  // indexed by int, so that loops gather with 32-bit indices
        return t[d] + (t[d + 1] - t[d]) * f;
    }
};

// The hue of OKLab (a, b) as a whole degree 0…360 and the fraction above
// it, by `FastMath::atan2`, for loops over rows; 0 for hues that are not finite.
struct HueDegree {
    int d = 0;
    float f = 0;
};
inline HueDegree hueDegree(float a, float b) {
    float h = FastMath::atan2(b, a) * (180 / std::numbers::pi_v<float>);
    h = h < 0 ? h + 360 : h;
    h = (h >= 0) & (h <= 360) ? h : 0.0f;
    const int d = int(h);
    return {d, h - float(d)};
}

// `hueDegree` of `count` OKLab colours, in a vectorised loop.
void hueDegrees(const float* a, const float* b, std::int32_t* degree, float* fraction, int count);

// The colour mix over rows of OKLab values in place, for passes that stay in
// OKLab: greys are left as they came and flagged 1 in `grey` (the stage
// keeps their pixels), the other colours come out in gamut.
class RowMix {
public:
    explicit RowMix(const Parameters& bands);
    void apply(float* L, float* a, float* b, float* grey, int count) const;

private:
    struct Tables;
    Parameters bands_;
    std::shared_ptr<const Tables> tables_;
};

// The look's colour mix for rows (when present and not empty).
std::optional<RowMix> rowMix(const Develop::Look& look);

// The look's colour mix as a develop stage (when present and not empty).
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ColorMix

namespace ChromaSliders {

inline constexpr int nodes = 8;  // node j sits at OKLab chroma 0.0075 + 0.015 j

// A chroma factor and a lightness change per chroma node.
struct Row {
    std::array<float, nodes> factor;
    std::array<float, nodes> lightness;
};

// Measured rows at slider values −100, −50, 50 and 100; the row at 0 is
// factor 1 and lightness 0 everywhere.
struct Table {
    Row minus100;
    Row minus50;
    Row plus50;
    Row plus100;
};

extern const Table saturation;
extern const Table vibrance;

// The row at `value` (clamped to −100…100), interpolated between the two
// neighbouring table rows.
Row row(const Table& table, double value);

// The rows a look asks for, in the order they apply: saturation, then
// vibrance; a slider that is 0 or absent adds none. Empty: nothing to do.
std::vector<Row> rows(const Develop::Look& look);

// Linear interpolation between the eight chroma nodes, constant beyond the ends.
// (Written with plain selects, which row loops turn into vector blends.)
inline float pick(const std::array<float, nodes>& values, float chroma) {
    float p = (chroma - 0.0075f) / 0.015f;
    p = p < 0 ? 0.0f : p;
    p = p > 7 ? 7.0f : p;
    float sum = 0;
    for (int j = 0; j < nodes; ++j) {
        const float w = 1 - std::fabs(p - float(j));
        sum += values[std::size_t(j)] * (w > 0 ? w : 0.0f);
    }
    return sum;
}

// One OKLab colour through one row (no clamping).
inline OKLab::Lab adjust(OKLab::Lab lab, const Row& row) {
    const float C = OKLab::chroma(lab);
    lab.L += pick(row.lightness, C);
    const float k = pick(row.factor, C);
    lab.a *= k;
    lab.b *= k;
    return lab;
}

// One pixel through one row.
Colour::RGB apply(const Colour::RGB& pixel, const Row& row);

// One pixel through a chain of rows, row after row.
Colour::RGB apply(Colour::RGB pixel, const std::vector<Row>& chain);

// A chain of rows over `count` OKLab values in place, the values between
// rows as the trip to pixels and back leaves them (`OKLab::settleRow`);
// without the last trip back, which the caller makes.
void adjustRows(const std::vector<Row>& chain, float* L, float* a, float* b, int count);

// Saturation and vibrance as a develop stage; nothing when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace ChromaSliders
