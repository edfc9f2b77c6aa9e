#pragma once
// Local corrections made by an external worker (the blemish remover, the
// tone and under-eye corrector): the worker gets the full working picture and
// the folder of the face analysis, and answers with a positive and a negative
// difference picture, optionally a per-pixel score map, and a list of spots.
// Applying a prepared correction is one per-pixel blend, so a strength slider
// re-renders without running the worker again; with a score map the strength
// works as a threshold on the scores instead of as a blend factor.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/imaging/image.h"
#include "engine/portrait/portrait_analysis.h"

namespace PortraitLocalCorrection {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

inline constexpr const char* notConfigured = "Portrait runtime is not configured. Use the experimental Studio launcher.";
inline constexpr const char* notPrepared = "Could not prepare portrait correction";
inline constexpr const char* notEncoded = "Could not encode portrait input";
inline constexpr const char* workerFailed = "Portrait correction failed. Check the local model runtime.";
inline constexpr const char* geometryMismatch = "Portrait correction geometry mismatch";
inline constexpr const char* notBlended = "Could not blend portrait correction";

struct Spot {
    double u = 0;        // centre x / photo width: (x + 0.5) / W
    double v = 0;        // centre y / photo height, from the top: (y + 0.5) / H
    double radius = 0;   // radius / photo width
    int level = 0;       // score level 0…255
    bool kept = false;   // left unchanged on request
    bool skipped = false;
    int face = 0;
    std::optional<double> own;  // a strength for this spot only
};

// The threshold level for an amount: 254·c² + 1 with c = 1 − min(amount, 1)
// (c = 1 when amount ≤ 0). A level passes a threshold m when it is at least m − 0.5.
double minimumLevel(double amount);

// The threshold `apply` uses: 1000 (nothing passes) when amount ≤ 0, else minimumLevel.
double threshold(double amount);

// One pixel of each blend; `o` the original, `p` and `n` the positive and
// negative differences, `s` the score pixel (level = red × 255), `f` the forced pixel.
inline Imaging::Pixel blend(const Imaging::Pixel& o, const Imaging::Pixel& p, const Imaging::Pixel& n, float amount) {
    return {o.r + amount * (p.r - n.r), o.g + amount * (p.g - n.g), o.b + amount * (p.b - n.b), o.a};
}
// A score pixel's level reaches the threshold `minimum`: red × 255 ≥ minimum − 0.5
// (with a margin for the rounding of stored 8-bit levels).
inline bool passes(const Imaging::Pixel& s, float minimum) { return s.r * 255.0f + 0.001f >= minimum - 0.5f; }
inline Imaging::Pixel select(const Imaging::Pixel& o, const Imaging::Pixel& p, const Imaging::Pixel& n,
                             const Imaging::Pixel& s, float minimum) {
    return blend(o, p, n, passes(s, minimum) ? 1.0f : 0.0f);
}
inline Imaging::Pixel selectForced(const Imaging::Pixel& o, const Imaging::Pixel& p, const Imaging::Pixel& n,
                                   const Imaging::Pixel& s, const Imaging::Pixel& f, float minimum) {
    return blend(o, p, n, passes(s, minimum) || f.r >= 0.5f ? 1.0f : 0.0f);
}

// The worker's pictures are kept at 8 bits, rows top-down, over the working
// image's extent (a 24-megapixel correction holds about 200 MB, not the 1.2 GB
// of float pictures).
struct Prepared {
    Imaging::Bitmap positive;               // amount to add, RGBA
    Imaging::Bitmap negative;               // amount to subtract, RGBA
    std::optional<Imaging::Bitmap> scores;  // one channel, the level 0…255 (red of scores.png); scored runs only
    std::vector<Spot> spots;
    std::optional<Imaging::Bitmap> forced;  // one channel, corrected whatever the threshold where ≥ 128
                                            // (red ≥ 0.5); never produced here

    // The corrected picture over the image's extent (the pictures are read
    // at the same position, clamped to their size). Throws Failure (notBlended).
    Imaging::Image apply(const Imaging::Image& image, double amount) const;
};

// Runs `worker` (a script in the folder of MERROW_PORTRAIT_WORKER) on the
// working image (extent at (0, 0)) and the analysis, with `arguments`
// appended to its command line; `scored` when a score map is expected. The
// work folder ("repair-" and a UUID, in MERROW_PORTRAIT_SCRATCH or the
// analysis folder) is removed whatever the outcome. Throws Failure and the
// system's errors.
Prepared prepare(const Imaging::Image& image, const PortraitAnalysis::Result& analysis, const std::string& worker,
                 const std::vector<std::string>& arguments, bool scored);

}  // namespace PortraitLocalCorrection
