#pragma once
// Colour-range skin selection: the skin of every face in a photo, without any
// external model runtime. A person segmentation and the face landmarks of a
// small analysis copy give the person and the faces; the skin colour is
// measured on each face; the person's pixels of that colour are kept, eyes,
// brows, lips and nostrils are protected, and the result is cut into one
// soft region per face.
//
// Pixels are the develop pipeline's working image (gamma-encoded sRGB,
// nominally 0...1), picture coordinates with the origin at the bottom-left.
// Masks are single-channel planes (CV_32F, rows top-down) of the photo's
// size, weights 0...1.

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>
#include <stdexcept>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/imaging/bitmap.h"
#include "engine/imaging/image.h"
#include "engine/vision/faces.h"

namespace ColorRangeSkin {

inline constexpr int analysisEdge = 1024;
inline constexpr double minimumFaceWidth = 32;

// A colour as (Cb, Cr, Y), BT.601 full range.
struct SkinVector {
    double cb = 0, cr = 0, y = 0;
};
inline constexpr SkinVector fallbackSkin{-0.06, 0.1, 0.55};

SkinVector skinVector(double r, double g, double b);

namespace Formulas {

// The cubic Hermite step from e0 to e1.
inline float smoothstep(float e0, float e1, float x) {
    const float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
    return t * t * (3 - 2 * t);
}

inline float luma(float r, float g, float b) { return 0.299f * r + 0.587f * g + 0.114f * b; }

}  // namespace Formulas

// The skin weight of a pixel with person weight `person`, for the skin
// colour k: same hue and colourfulness as the skin, or a pale highlight
// brighter than it; never much darker (brown hair); 0 outside the person.
// (Inline, so that the loops applying it vectorise.)
[[gnu::always_inline]] inline float skinRange(const Imaging::Pixel& s, float person, const SkinVector& k) {
    const float r = std::clamp(s.r, 0.0f, 1.0f), g = std::clamp(s.g, 0.0f, 1.0f), b = std::clamp(s.b, 0.0f, 1.0f);
    const float y = Formulas::luma(r, g, b);
    const float cb = -0.168736f * r - 0.331264f * g + 0.5f * b;
    const float cr = 0.5f * r - 0.418688f * g - 0.081312f * b;
    const float chroma = std::sqrt(cb * cb + cr * cr);
    const float kb = float(k.cb), kr = float(k.cr), ky = float(k.y);
    const float kLength = std::sqrt(kb * kb + kr * kr);
    const float nb = kLength > 0 ? kb / kLength : 0.0f, nr = kLength > 0 ? kr / kLength : 0.0f;
    const float scale = 1.0f / std::max(chroma, 0.0001f);
    const float hue = cb * scale * nb + cr * scale * nr;
    const float sameHue = Formulas::smoothstep(0.82f, 0.94f, hue);
    const float colour = (chroma / std::max(y, 0.02f)) / std::max(kLength / std::max(ky, 0.02f), 0.01f);
    const float sameColour = Formulas::smoothstep(0.45f, 0.7f, colour) * (1 - Formulas::smoothstep(1.9f, 2.8f, colour));
    const float relative = y / std::max(ky, 0.05f);
    const float lit = Formulas::smoothstep(0.3f, 0.45f, relative) * Formulas::smoothstep(0.004f, 0.012f, chroma);
    const float shine = Formulas::smoothstep(1.02f, 1.2f, relative) * (1 - Formulas::smoothstep(0.9f, 1.3f, colour));
    return std::max(sameHue * sameColour, shine) * lit * std::clamp(person, 0.0f, 1.0f);
}

// `mask` kept where the pixel is not much darker than the skin luma: 0 below
// 38% of it, the mask's weight above 52%.
[[gnu::always_inline]] inline float notDark(const Imaging::Pixel& s, float mask, float skinLuma) {
    const float y = Formulas::luma(std::clamp(s.r, 0.0f, 1.0f), std::clamp(s.g, 0.0f, 1.0f), std::clamp(s.b, 0.0f, 1.0f));
    return std::clamp(mask, 0.0f, 1.0f) * Formulas::smoothstep(0.38f, 0.52f, y / std::max(skinLuma, 0.05f));
}


struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Region {
    cv::Mat mask;             // this face's skin weight
    double faceWidth = 0;     // pixels, at most the photo's width
    Imaging::Rect bounds;     // the face shape grown by 10% of the face width, in the photo
    Imaging::Rect spotBounds; // bounds below 22% of the face-box height above the box
};

struct Result {
    std::vector<Region> regions;                 // widest face first
    cv::Mat mask;                                // sum of the region masks
    cv::Mat spotMask;                            // where spot healing may act
    std::vector<Vision::FaceObservation> faces;  // one per region, same order
    double skinLuma = 0;
};

// What the platform tells about the analysis copy: the person segmentation
// (8-bit, one channel, any size; nothing when it gave none) and the faces
// with their landmarks. Errors (a missing model) are thrown.
struct Analysis {
    std::optional<Imaging::Bitmap> person;
    std::vector<Vision::FaceObservation> faces;
};
using Analyser = std::function<Analysis(const Imaging::Bitmap& copy)>;

// The person segmentation network and the face detector with landmarks.
Analysis analyse(const Imaging::Bitmap& copy);

// The selection. Throws Failure ("Color-range skin needs a finite photo" for
// an empty photo or one whose extent does not start at (0, 0); "Could not
// prepare the photo for skin selection" when the analysis copy cannot be
// made), and passes on the analyser's errors unchanged (Vision::Unavailable
// "Person segmentation model is missing.", say).
Result make(const Imaging::Image& image, const Analyser& analyser = analyse);

// ---- steps, public for tests and the visual report

// A closed polygon in picture coordinates (pixels, y up).
using Path = std::vector<Vision::Point>;

// The face shape: the jaw contour closed by a half-ellipse over the forehead,
// or without a contour an ellipse around the face box.
Path faceShape(const Vision::FaceObservation& face, int width, int height);

// The path filled white over black, the `minus` paths filled black, blurred
// with sigma max(feather, 1). Nothing when the bitmap cannot be made.
std::optional<cv::Mat> fill(const Path& path, const std::vector<Path>& minus, int width, int height, double feather);

// 1 on skin, 0 over eyes, brows and lips with a margin; nothing without faces.
std::optional<cv::Mat> protection(const std::vector<Vision::FaceObservation>& faces, int width, int height);

// 0 over the lowest 40% of each nose (the nostrils) with a margin, 1 elsewhere;
// nothing without faces.
std::optional<cv::Mat> noses(const std::vector<Vision::FaceObservation>& faces, int width, int height);

// The skin sample rectangle of a face (picture coordinates, not clipped): the
// middle half of the box's width, from 48% to 68% of its height.
struct Box {
    double x = 0, y = 0, width = 0, height = 0;
};
Box sampleRectangle(const Vision::Rect& face, int width, int height);

}  // namespace ColorRangeSkin
