#pragma once
// Noise reduction and sharpening in OKLab. Their reach is measured in pixels
// of the full-size photo and scales with the decode's detail scale. The
// per-pixel formulas sample their inputs around the pixel through callables
// `sample(dx, dy)` that return the OKLab value at that offset (fractional
// offsets interpolated, positions clamped to the picture).

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>

#include "engine/imaging/fast_math.h"
#include "engine/imaging/image.h"
#include "engine/develop/look.h"
#include "engine/imaging/colour/oklab.h"
#include "engine/imaging/colour/rgb.h"

namespace Develop {
struct LabPlanes;
}

namespace Detail {

struct NoiseParameters {
    float lumStep = 0;   // spacing of the 5×5 lightness samples; 0 = no lightness smoothing
    float lumRange = 0;  // lightness difference that still counts as alike
    float colStep = 0;   // spacing of the 5×5 colour samples; 0 = no colour smoothing
    float colRange = 0;
    // Gaussian blur radius of the OKLab picture that the colour samples read
    // (0: they read the unblurred picture).
    float softRadius = 0;
    // How far from the pixel the samples reach, for region-of-interest margins.
    float reach() const { return 2 * std::max(lumStep, colStep) + 2; }
};

// Nothing when `noiseLuminance` and `noiseColor` are both 0 or absent.
inline std::optional<NoiseParameters> noiseParameters(const Develop::Look& look, double scale) {
    const double a = std::clamp(look.noiseLuminance.value_or(0.0) / 100, 0.0, 1.0);
    const double b = std::clamp(look.noiseColor.value_or(0.0) / 100, 0.0, 1.0);
    if (a == 0 && b == 0) return std::nullopt;
    const double k = std::clamp(scale, 0.05, 1.0);
    NoiseParameters p;
    p.lumStep = a > 0 ? static_cast<float>(std::max((1.25 * a + 0.75) * k, 0.5)) : 0;
    p.colStep = b > 0 ? static_cast<float>(std::max((6 * b + 2) * k, 1.0)) : 0;
    p.lumRange = static_cast<float>(0.05 * a + 0.004);
    p.colRange = static_cast<float>(0.12 * b + 0.03);
    p.softRadius = b > 0 ? p.colStep / 2 : 0;
    return p;
}

// The parts of the edge-preserving smoothing's formula, which the stage's
// row loops call too.
//
// exp(−t) for t ≥ 0 without a library call or a branch, so that whole
// rows vectorise: `FastMath::exp2` of −t·log2 e (relative error below 1e-6 —
// it moves a weighted mean by at most that fraction of its spread). t is
// capped at 80, where exp(−80) ≈ 2e-35 is nothing next to the 0.0001 every
// mean carries.
inline float rangeWeight(float t) {
    // The cap as an integer minimum: for floats ≥ 0 the bit patterns are in
    // the same order as the values (and a NaN counts as far apart).
    const std::int32_t bits = std::bit_cast<std::int32_t>(t), cap = std::bit_cast<std::int32_t>(80.0f);
    const float capped = std::bit_cast<float>(bits < cap ? bits : cap);
    return FastMath::exp2(-capped * 1.44269504f);
}

// The spatial weight of the sample (x, y) of the 5 × 5 grid (x, y in −2…2).
inline float spatialWeight(int x, int y) { return std::exp(-float(x * x + y * y) / 4.0f); }

// A sample's weight: its spatial weight times how alike the lightness it is
// compared by (`v`) is to the pixel's own (`own`), over the range's inverse.
inline float sampleWeight(float spatial, float v, float own, float inverseRange) {
    const float d = (v - own) * inverseRange;
    return spatial * rangeWeight(d * d);
}

// The weighted mean of the samples (`sum`, `weights`) and the pixel's own
// value, which carries weight 0.0001.
inline float smoothedMean(float own, float sum, float weights) { return (0.0001f * own + sum) / (0.0001f + weights); }

// One pixel of the edge-preserving smoothing: `c` is the pixel's own OKLab
// value, `lab` samples the OKLab picture and `soft` its blurred copy.
template <class SampleLab, class SampleSoft>
Colour::RGB denoise(const OKLab::Lab& c, SampleLab&& lab, SampleSoft&& soft, const NoiseParameters& p) {
    float L = c.L;
    if (p.lumStep > 0) {
        float sum = 0, weights = 0;
        for (int y = -2; y <= 2; ++y)
            for (int x = -2; x <= 2; ++x) {
                const float v = lab(float(x) * p.lumStep, float(y) * p.lumStep).L;
                const float w = sampleWeight(spatialWeight(x, y), v, c.L, 1 / p.lumRange);
                weights += w;
                sum += w * v;
            }
        L = smoothedMean(c.L, sum, weights);
    }
    float a = c.a, b = c.b;
    if (p.colStep > 0) {
        float sumA = 0, sumB = 0, weights = 0;
        for (int y = -2; y <= 2; ++y)
            for (int x = -2; x <= 2; ++x) {
                const auto t = soft(float(x) * p.colStep, float(y) * p.colStep);
                const float w = sampleWeight(spatialWeight(x, y), t.L, c.L, 1 / p.colRange);
                weights += w;
                sumA += w * t.a;
                sumB += w * t.b;
            }
        a = smoothedMean(c.a, sumA, weights);
        b = smoothedMean(c.b, sumB, weights);
    }
    return OKLab::screen({L, a, b});
}

struct SharpenParameters {
    float sigma = 1;   // Gaussian blur radius of the OKLab picture
    float gain = 0;
    float fine = 0;    // differences well below this are cored away
    float halo = 0.15f;  // large differences are limited towards this
    float maskLo = 0;  // edge mask ramp; maskHi 0 = no mask
    float maskHi = 0;
    float reach = 1;   // offset of the gradient samples
};

// Nothing when `sharpenAmount` is absent or not above 0.
inline std::optional<SharpenParameters> sharpenParameters(const Develop::Look& look, double scale) {
    if (!look.sharpenAmount || !(*look.sharpenAmount / 150 > 0)) return std::nullopt;
    const double amt = std::min(*look.sharpenAmount / 150, 1.0);
    const double radius = look.sharpenRadius ? std::clamp(*look.sharpenRadius, 0.5, 3.0) : 1.0;
    const double detail = look.sharpenDetail ? std::clamp(*look.sharpenDetail / 100, 0.0, 1.0) : 0.25;
    const double masking = look.sharpenMasking ? std::clamp(*look.sharpenMasking / 100, 0.0, 1.0) : 0.0;
    SharpenParameters p;
    p.sigma = static_cast<float>(std::clamp(scale, 0.05, 1.0) * radius);
    p.gain = static_cast<float>(2.4 * amt);
    p.fine = static_cast<float>(0.03 * (1 - detail) * (1 - detail));
    p.halo = 0.15f;
    p.maskLo = static_cast<float>(0.002 + 0.1 * masking);
    p.maskHi = masking > 0 ? 2 * p.maskLo + 0.005f : 0;
    p.reach = std::max(p.sigma, 1.0f);
    return p;
}

inline float smoothstep(float lo, float hi, float x) {
    float t = (x - lo) / (hi - lo);
    t = t < 0 ? 0.0f : t;  // (plain selects: row loops vectorise them)
    t = t > 1 ? 1.0f : t;
    return t * t * (3 - 2 * t);
}

// The sharpened lightness of a pixel of lightness `L`, where the blurred
// lightness is `blurred` and (gx, gy) are the blurred lightness's differences
// across ±reach in x and y (read only when the edge mask is on).
inline float sharpenedLightness(float L, float blurred, float gx, float gy, const SharpenParameters& p) {
    float d = L - blurred;
    d = d * std::fabs(d) / (std::fabs(d) + p.fine + 0.000001f);
    d = d / (1 + std::fabs(d) / p.halo);
    const float edge = smoothstep(p.maskLo, p.maskHi, std::sqrt(gx * gx + gy * gy));  // (both sides worked out: no branch)
    const float m = p.maskHi > 0 ? edge : 1.0f;
    return L + p.gain * d * m;
}

// One pixel sharpened, in OKLab: `c` is the pixel's own OKLab value, `blur`
// samples the blurred OKLab picture.
template <class SampleBlur>
OKLab::Lab sharpenLab(OKLab::Lab c, SampleBlur&& blur, const SharpenParameters& p) {
    float gx = 0, gy = 0;
    if (p.maskHi > 0) {
        gx = blur(p.reach, 0.0f).L - blur(-p.reach, 0.0f).L;
        gy = blur(0.0f, p.reach).L - blur(0.0f, -p.reach).L;
    }
    c.L = sharpenedLightness(c.L, blur(0.0f, 0.0f).L, gx, gy, p);
    return c;
}

// The same, back in sRGB.
template <class SampleBlur>
Colour::RGB sharpen(const OKLab::Lab& c, SampleBlur&& blur, const SharpenParameters& p) {
    return OKLab::screen(sharpenLab(c, blur, p));
}

// Luminance and colour noise reduction as a develop stage; `scale` is the
// picture's size relative to the full-size photo. Nothing when there is nothing to do.
std::optional<Imaging::Image> reduceNoise(const Develop::Look& look, const Imaging::Image& image, double scale);
// Sharpening as a develop stage at `scale`; nothing when there is nothing to do.
std::optional<Imaging::Image> sharpen(const Develop::Look& look, const Imaging::Image& image, double scale);
// The same for a picture that an earlier stage left in OKLab: `lab` holds
// its values, `image` the pixels whose alpha the result keeps.
std::optional<Imaging::Image> sharpen(const Develop::Look& look, const Develop::LabPlanes& lab, const Imaging::Image& image,
                                      double scale);

}  // namespace Detail
