#pragma once
// The three small components of the experimental portrait path built on the
// local-correction workers: blemish removal (studio_blemishes.py) with its
// spot report, skin tone and under-eye correction (studio_tone.py), and the
// size limits checked before any of that work starts.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"
#include "engine/portrait/portrait_analysis.h"
#include "engine/portrait/portrait_local_correction.h"
#include "engine/portrait/portrait_retouch.h"

namespace PortraitBlemishes {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

inline constexpr const char* invalidKeep = "Invalid kept blemish points";
inline constexpr const char* notConfigured =
    "Blemish model is not configured. Restart the experimental Studio launcher with its local weights.";
inline constexpr std::size_t maximumKept = 160;

// Spot states in the report rows [u, v, radius, state, face].
enum State { kept = 0, corrected = 1, notCorrected = 2, skipped = 3 };

// The photo with blemishes removed. `amount` is 0…1; `own` the per-face
// amounts (absent: no override); `keep` the kept points [x, y] as fractions
// of the photo; `key` the caller's key for this photo and analysis. The
// worker runs only when the key (with this runtime's identity) changes.
Imaging::Image apply(const Imaging::Image& image, const PortraitAnalysis::Result& analysis, const std::string& key,
                     double amount, const std::vector<std::optional<double>>& own, const Develop::Look::Points& keep);

// The report rows of the spots the worker found, in its order.
std::vector<std::vector<double>> spots(const Imaging::Image& image, const PortraitAnalysis::Result& analysis,
                                       const std::string& key, double amount,
                                       const std::vector<std::optional<double>>& own, const Develop::Look::Points& keep);

// The state of one spot at a strength: kept 0, skipped 3, otherwise 1 when its
// level reaches the strength's threshold, else 2 (always 2 at strength ≤ 0).
State stateOf(const PortraitLocalCorrection::Spot& spot, double strength);

// `keep` when it holds at most 160 points of exactly two finite numbers in
// [0, 1]; throws Failure (invalidKeep) otherwise.
const Develop::Look::Points& validated(const Develop::Look::Points& keep);

}  // namespace PortraitBlemishes

namespace PortraitTone {

// The photo with skin tone evened and under-eye areas corrected. `tone` and
// `underEye` are percentages 0…100; the per-face values are optional.
Imaging::Image apply(const Imaging::Image& image, const PortraitAnalysis::Result& analysis, const std::string& key,
                     double tone, double underEye, const std::vector<std::optional<double>>& ownTone,
                     const std::vector<std::optional<double>>& ownUnderEye);

}  // namespace PortraitTone

namespace PortraitLimits {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

inline constexpr long long retouchPixels = 24'000'000;
inline constexpr const char* retouchTooLarge =
    "Full-size blemish, tone and under-eye retouch currently support up to 24 megapixels";
inline constexpr const char* smoothingTooLarge = "Full-size smoothing currently supports up to 60 megapixels";

// The check of `validate` (portrait_retouch.h) for a picture of width × height
// pixels: 24 million when the look wants blemishes, tone or under-eye, else 60
// million when it wants smoothing, else none. Throws Failure.
void validateSize(double width, double height, const Develop::Look& look);

}  // namespace PortraitLimits
