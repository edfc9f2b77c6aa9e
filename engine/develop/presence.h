#pragma once
// Dehaze, texture and clarity: per-pixel formulas fed with blurred copies of
// the picture whose reach is a fraction of its long side.

#include <algorithm>
#include <cmath>
#include <optional>

#include "engine/imaging/image.h"
#include "engine/develop/look.h"
#include "engine/imaging/colour/rgb.h"

namespace Presence {

// Blur reaches, as fractions of the picture's long side.
inline constexpr double airBlur = 0.02;        // before the area maximum that finds the air light
inline constexpr double regionalBlur = 0.015;  // of the minimum component, for the regional haze
inline constexpr double fineBlur = 0.0004;     // texture: fine minus mid
inline constexpr double midBlur = 0.0025;
inline constexpr double wideBlur = 0.012;      // clarity: local contrast against this

// The Gaussian sigma, in pixels, of a presence blur on a picture of this size.
inline double blurSigma(double fraction, int width, int height) {
    return std::max(fraction * std::max(width, height), 0.5);
}

// What a look asks of presence; each amount is 0 when its slider is off.
struct Parameters {
    float dehaze = 0;   // signed dehaze amount handed to `dehaze`
    float texture = 0;  // weight of the fine band
    float clarity = 0;  // weight of the local contrast
    bool wantsTexture() const { return texture != 0; }
    bool wantsClarity() const { return clarity != 0; }
};

// Nothing when `dehaze`, `texture` and `clarity` are all 0 or absent.
inline std::optional<Parameters> parameters(const Develop::Look& look) {
    auto unit = [](const std::optional<double>& v) { return std::clamp(v.value_or(0.0), -100.0, 100.0) / 100; };
    const double a = unit(look.dehaze), tx = unit(look.texture), cl = unit(look.clarity);
    if (a == 0 && tx == 0 && cl == 0) return std::nullopt;
    return Parameters{static_cast<float>(a > 0 ? a * 0.55 : a * 0.5), static_cast<float>(tx > 0 ? tx * 1.6 : tx * 0.9),
                      static_cast<float>(cl > 0 ? cl * 1.2 : cl * 0.8)};
}

inline float luma(const Colour::RGB& c) { return Colour::luma709(c); }

// One pixel dehazed. `regional` is the blurred minimum component at the pixel,
// `air` the per-channel maximum of the blurred picture. A negative amount
// veils towards the air light instead.
inline Colour::RGB dehaze(const Colour::RGB& s, float regional, const Colour::RGB& air, float amount) {
    // Both ways are worked out and one is chosen, without a branch, so that
    // rows of pixels go through it in a vectorised loop.
    const float Ar = std::max(air.r, 0.5f), Ag = std::max(air.g, 0.5f), Ab = std::max(air.b, 0.5f);
    const float veiling = -amount;
    auto veil = [veiling](float v, float a) { return v + (0.92f * a - v) * veiling; };
    const float own = std::min(s.r, std::min(s.g, s.b));
    const float haze = (own + regional) / 2;
    const float t = std::max(1 - amount * haze / std::max(Ar, std::max(Ag, Ab)), 0.2f);
    auto clear = [t](float v, float a) {
        const float c = (v - a) / t + a;
        return c < 0 ? 0.0f : (c > 1 ? 1.0f : c);  // (selects, not std::clamp's references)
    };
    const bool veils = amount < 0;
    return {veils ? veil(s.r, Ar) : clear(s.r, Ar), veils ? veil(s.g, Ag) : clear(s.g, Ag),
            veils ? veil(s.b, Ab) : clear(s.b, Ab)};
}

// One pixel with texture (fine minus mid band) and clarity (local contrast
// against the wide blur, strongest in the mid-tones); the same change on all
// three channels. The blurred copies enter only through their lumas.
inline Colour::RGB detail(const Colour::RGB& s, float fineLuma, float midLuma, float wideLuma, float texture,
                           float clarity) {
    const float y = luma(s);
    const float band = fineLuma - midLuma;
    float local = y - wideLuma;
    local = local / (1 + 4 * std::fabs(local));
    const float midtones = std::sqrt(std::clamp(4 * y * (1 - y), 0.0f, 1.0f));
    const float change = texture * band + clarity * local * midtones;
    return {std::clamp(s.r + change, 0.0f, 1.0f), std::clamp(s.g + change, 0.0f, 1.0f),
            std::clamp(s.b + change, 0.0f, 1.0f)};
}

inline Colour::RGB detail(const Colour::RGB& s, const Colour::RGB& fine, const Colour::RGB& mid,
                           const Colour::RGB& wide, float texture, float clarity) {
    return detail(s, luma(fine), luma(mid), luma(wide), texture, clarity);
}

// Dehaze, texture and clarity as a develop stage; nothing when there is nothing to do.
std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image);

}  // namespace Presence
