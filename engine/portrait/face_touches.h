#pragma once
// Four local face corrections worked from landmarks and a skin selection:
// evening out blotchy skin colour, lifting dark under-eye areas, whitening the
// whites of the eyes and whitening teeth.
//
// Each is a per-pixel formula in a luma and chroma space (Y, Cb, Cr) and
// leaves a pixel bit for bit unchanged wherever its weight is below 0.0001.
// Pixels are the develop pipeline's display-encoded RGB; coordinates are
// picture coordinates (origin bottom-left, extent (0, 0, W, H)). Masks are
// single-channel planes (CV_32F, rows top-down) of the picture's size.

#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/imaging/image.h"
#include "engine/vision/faces.h"

namespace FaceTouches {

// The strengths for one face, each 0…1.
struct Amounts {
    double even = 0;      // colour evenness
    double underEye = 0;  // under-eye lift
    double whites = 0;    // eye-white whitening
    double teeth = 0;     // teeth whitening
    bool any() const { return std::max({even, underEye, whites, teeth}) > 0; }
};

// A touch that could not be applied; what() is the message.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

// What the touches read of a skin selection: the whole selection's mask and
// median skin luma, and per face its own mask and width (`regions`) and its
// detector observation with landmarks (`faces`, parallel to `regions`).
struct Selection {
    struct Region {
        cv::Mat mask;
        double faceWidth = 0;
    };
    cv::Mat mask;
    double skinLuma = 0;
    std::vector<Region> regions;
    std::vector<Vision::FaceObservation> faces;
};

// Colour evenness and under-eye lift; `amounts[i]` belongs to face i.
Imaging::Image skin(const Imaging::Image& image, const Selection& selection, const std::vector<Amounts>& amounts);
// Eye whites and teeth, one pass per distinct amount.
Imaging::Image features(const Imaging::Image& image, const Selection& selection, const std::vector<Amounts>& amounts);
// The eye-white and teeth masks added together (a plane of `size`), for
// showing the selection; nothing when no face asks for either.
std::optional<cv::Mat> regions(const Selection& selection, cv::Size size, const std::vector<Amounts>& amounts);

// Luma and chroma of a display-encoded colour.
struct Ycc {
    float y = 0, cb = 0, cr = 0;
};
inline Ycc toYcc(float r, float g, float b) {
    return {0.299f * r + 0.587f * g + 0.114f * b, -0.168736f * r - 0.331264f * g + 0.5f * b,
            0.5f * r - 0.418688f * g - 0.081312f * b};
}
inline Ycc toYcc(const Imaging::Pixel& p) { return toYcc(p.r, p.g, p.b); }
inline Imaging::Pixel toRgb(const Ycc& c, float alpha) {
    return {c.y + 1.402f * c.cr, c.y - 0.344136f * c.cb - 0.714136f * c.cr, c.y + 1.772f * c.cb, alpha};
}

// The per-pixel kernels; `s` is the input pixel.
namespace Kernels {

// Colour evenness: the chroma moved away from the fine blur's by the broad
// blur's difference (the blotch), at most 0.03, weighted by the mask squared
// and only where the broad weight is at least 0.05. Inline so that the row
// loop applying it vectorises.
[[gnu::always_inline]] inline Imaging::Pixel evenColor(const Imaging::Pixel& s, const Imaging::Pixel& fineSum,
                                                       float fineWeight, const Imaging::Pixel& broadSum,
                                                       float broadWeight, float mask, float amount) {
    const float fw = std::max(fineWeight, 0.001f), bw = std::max(broadWeight, 0.001f);
    const Ycc fine = toYcc(fineSum.r / fw, fineSum.g / fw, fineSum.b / fw);
    const Ycc broad = toYcc(broadSum.r / bw, broadSum.g / bw, broadSum.b / bw);
    const float m = std::clamp(mask, 0.0f, 1.0f);
    // Full strength only well inside the skin: mask edges (hairline, jaw) barely move.
    const float w = amount * m * m * (broadWeight >= 0.05f ? 1.0f : 0.0f);
    const float bcb = fine.cb - broad.cb, bcr = fine.cr - broad.cr;
    // The chroma shift never exceeds 0.03.
    const float limit = std::min(1.0f, 0.03f / std::max(std::sqrt(bcb * bcb + bcr * bcr), 0.0001f));
    Ycc c = toYcc(s);
    c.cb -= w * bcb * limit;
    c.cr -= w * bcr * limit;
    // The pixel itself where the weight is below 0.0001.
    return w >= 0.0001f ? toRgb(c, s.a) : s;
}
Imaging::Pixel underEye(const Imaging::Pixel& s, const Imaging::Pixel& local, float band, const Ycc& cheek, float amount);
Imaging::Pixel eyeWhite(const Imaging::Pixel& s, float region, float amount, float skin);
Imaging::Pixel teeth(const Imaging::Pixel& s, float region, float amount, float skin);

}  // namespace Kernels

}  // namespace FaceTouches
