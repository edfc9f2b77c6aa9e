#pragma once
// Skin smoothing inside a soft mask that keeps a chosen share of the fine
// texture, and the red overlay that shows the mask.
//
// Three progressively coarser, mask-aware, edge-preserving blurs split the
// photo into a fine, a medium and a broad detail band; one signed correction
// removes most of the medium band, part of the broad band and the chosen part
// of the fine band, weighted by the mask. The correction is computed once
// (`prepare`, `prepareRegions`) and kept in a `Prepared`; the picture for any
// amount is then one per-pixel blend, so moving an amount slider does not
// recompute the blurs.
//
// Pixels are the develop pipeline's display-encoded RGB. A mask is a
// single-channel plane (CV_32F, rows top-down) covering the photo's extent
// pixel for pixel; each value is the weight, clamped to 0…1 where it is used.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/imaging/fast_math.h"
#include "engine/imaging/image.h"

namespace MultiscaleSkin {

// An error whose text is its case's name.
class Failure : public std::runtime_error {
public:
    enum class Case { invalidInput, kernelUnavailable };
    explicit Failure(Case c);
    Case which() const { return case_; }

private:
    Case case_;
};

constexpr long long maximumPixels = 60'000'000;  // largest photo that may be smoothed
constexpr long long tilingThreshold = 16'000'000;  // above this, `prepare` works tile by tile
constexpr int defaultTileEdge = 1024;
constexpr int minimumTileEdge = 64;
constexpr double minimumFaceWidth = 32;

// The fine step in pixels for a face `faceWidth` pixels wide: max(0.0015 × width, 0.5).
double fineStep(double faceWidth);
// The source pixels needed around an output rectangle: the correction at a
// pixel reads at most 39 fine steps away (3 taps of 1, 3 and 9 steps), plus
// the bilinear neighbours and some margin.
int halo(double faceWidth);

// The precomputed correction. Immutable; may be shared between threads.
struct Prepared {
    Imaging::Image original;
    Imaging::Image correction;              // signed, never clamped; scaled by the amount
    std::optional<Imaging::Image> fixed;    // added at full strength whatever the amount
    std::optional<double> fixedAmount;      // when present, used instead of the requested amount

    // The smoothed picture for an amount in 0…1; throws invalidInput otherwise.
    Imaging::Image image(double amount) const;
};

// One face's part of a smoothing: its mask (the photo's size), its face width
// in pixels, the rectangle it covers in picture coordinates (an empty one
// contributes nothing), the share of texture to keep, and its own strength
// (baked in whatever the amount) when it has one.
struct Region {
    cv::Mat mask;
    double faceWidth = 0;
    Imaging::Rect bounds;
    double texture = 0;
    std::optional<double> strength;
};

// The correction for one mask over the whole photo; tile by tile above
// `tilingThreshold` pixels. Throws invalidInput for an unusable photo, mask,
// face width (not finite, below 32 or wider than the photo) or texture.
Prepared prepare(const Imaging::Image& image, const cv::Mat& mask, double faceWidth, double texture);
// The same computed in tiles of `tileEdge` (64…1024) with a halo around each,
// stored at half-float precision.
Prepared prepareTiled(const Imaging::Image& image, const cv::Mat& mask, double faceWidth, double texture,
                      int tileEdge = defaultTileEdge);
// The corrections of several regions, each computed only over its bounds plus
// the halo; regions with their own strength go into `fixed`.
Prepared prepareRegions(const Imaging::Image& image, const std::vector<Region>& regions);

// The weight plane of a mask picture: clamp(red × alpha, 0, 1) per pixel.
cv::Mat maskWeights(const Imaging::Image& mask);

// The per-pixel kernels, one formula each.
namespace Kernels {

// Tap (i, j) of the masked edge-preserving blur around a centre colour:
// exp(−(i² + j²)/4.5) (`spatial`, in taps) × exp(−|v − c|² / rangeVariance)
// × the mask weight there clamped to 0…1. `distance2` is |v − c|² and
// `inverseVariance` is log2(e) / rangeVariance.
inline float smoothWeight(float spatial, float distance2, float inverseVariance, float mask) {
    const float coverage = mask > 0 ? (mask < 1 ? mask : 1.0f) : 0.0f;
    return spatial * FastMath::exp2(-distance2 * inverseVariance) * coverage;
}
// The masked edge-preserving blur of `source` (over its extent, samples
// clamped to it): 7 × 7 taps `step` pixels apart, read bilinearly; each
// output is Σ v·w / Σ w with the centre counted at weight 0.00001. Alpha is 1.
Imaging::Image smooth(const Imaging::Image& source, const cv::Mat& mask, double step, double rangeVariance);
// −(1 − texture) × fine band − 0.70 × medium band − 0.30 × broad band, times the mask; alpha 1.
Imaging::Pixel difference(const Imaging::Pixel& original, const Imaging::Pixel& fine, const Imaging::Pixel& medium,
                          const Imaging::Pixel& coarse, float mask, float texture);
// original + amount × delta, unclamped; the original's alpha.
inline Imaging::Pixel blend(const Imaging::Pixel& original, const Imaging::Pixel& delta, float amount) {
    return {original.r + amount * delta.r, original.g + amount * delta.g, original.b + amount * delta.b, original.a};
}
// correction × strength; its alpha kept.
Imaging::Pixel scale(const Imaging::Pixel& correction, float strength);
// Tints towards red by 65 % of the coverage (clamped to 0…1); alpha kept.
Imaging::Pixel maskOverlay(const Imaging::Pixel& original, float mask);

}  // namespace Kernels

}  // namespace MultiscaleSkin

namespace FrequencySeparation {

// The photo with the selected skin tinted red, or nothing when the mask does
// not cover the photo (callers then show the photo without the overlay).
std::optional<Imaging::Image> showMask(const Imaging::Image& image, const cv::Mat& mask);

}  // namespace FrequencySeparation
