#pragma once
// The face skin model's mask of a photo: the model's face-skin probability on
// a square crop around each face, placed back, softened and merged by
// taking the maximum. Nothing when the model cannot give it for every face
// (the caller then uses its colour test).

#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/imaging/image.h"
#include "engine/vision/faces.h"

namespace FaceSkinModel {

inline constexpr int minimumCrop = 32;

// The crop for a face with normalised box b in a W x H photo (picture
// coordinates): a square of side 2.1 x max(b.width W, b.height H) centred at
// (b.midX W, H (b.midY + 0.12 b.height)), made integral (outwards) and
// intersected with the photo.
Imaging::Rect cropFor(const Vision::Rect& box, int width, int height);

// A mask of the image's extent (CV_32F, rows top-down, weights 0...1), or
// nothing: with no face, when a face's crop is narrower or lower than 32
// pixels, or when a prediction fails. `image` is the working image, extent
// starting at (0, 0).
std::optional<cv::Mat> mask(const Imaging::Image& image, const std::vector<Vision::FaceObservation>& faces);

}  // namespace FaceSkinModel
