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

// The skin weight of a pixel with person weight `person`, for the skin
// colour k: same hue and colourfulness as the skin, or a pale highlight
// brighter than it; never much darker (brown hair); 0 outside the person.
float skinRange(const Imaging::Pixel& pixel, float person, const SkinVector& k);

// `mask` kept where the pixel is not much darker than the skin luma: 0 below
// 38% of it, the mask's weight above 52%.
float notDark(const Imaging::Pixel& pixel, float mask, float skinLuma);

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
