#pragma once
// 68 face landmarks from a neural network, for one face box at a time.
//
// Points follow the common 68-point layout, with left and right the person's
// own (a person facing the camera has their right eye on the picture's left):
//
//    0-16  jaw line, from the person's right temple over the chin to the left
//   17-21  right eyebrow, outer end first      22-26  left eyebrow, inner end first
//   27-30  nose bridge, top down               31-35  nose base, right wing to left wing
//   36-41  right eye outline, outer corner first, clockwise in the picture
//   42-47  left eye outline, inner corner first, clockwise in the picture
//   48-59  outer lips, right corner first      60-67  inner lips, right corner first
//
// The network (face-api.js's 68-point model, MIT licence) is read from
// `manifestFileName` and `weightsFileName` in a model folder; scripts/fetch-landmarks
// puts them in the repository's models/. It is loaded once per process and
// folder; passes may run on any number of threads at once.

#include <array>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

#include "engine/imaging/bitmap.h"
#include "engine/vision/faces.h"

namespace FaceLandmarks {

inline constexpr int pointCount = 68;
inline constexpr const char* manifestFileName = "face_landmark_68_model-weights_manifest.json";
inline constexpr const char* weightsFileName = "face_landmark_68_model.bin";

// Environment variable naming the model folder; when set (and not empty) it
// is the only place looked at.
inline constexpr const char* environmentVariable = "MERROW_LANDMARK_MODEL";

// The landmark model cannot be used: missing, unreadable or malformed.
// what() is a short sentence for the user.
struct Unavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Where the model folder is looked for, in order: the folder named by
// MERROW_LANDMARK_MODEL when that is set; otherwise models/ in the
// executable's folder, its parent and its grandparent (an installed tree, or
// a build tree beside the repository's models/), then share/merrow/models/
// beside the executable's parent.
std::vector<std::filesystem::path> searchList();

// The first folder of searchList() that holds the manifest, or nothing.
std::optional<std::filesystem::path> locateModel();

// A face box in pixels of the picture, origin at the top-left, y down.
using Box = Vision::PixelBox;

// The landmarks of one face, in pixels of the picture (origin top-left, y down).
struct Face {
    std::array<Vision::Point, pointCount> points{};
    // Centre of each eye outline, moved to the darkest small blob inside it
    // when the eye shows a clear one.
    Vision::Point rightPupil;
    Vision::Point leftPupil;
};

// How much of the picture around the box the network sees: a square of this
// many box sides, centred on the box; parts outside the picture are black.
// The network was trained on crops with more forehead and chin than a tight
// detector box holds; with the box alone it draws the face too large.
inline constexpr double cropScale = 1.35;

// Finds the 68 landmarks of the face in `box` of an 8-bit grey, RGB or RGBA
// picture (rows top-down). Throws Unavailable when the model cannot be used
// and std::invalid_argument for an empty picture, an empty box, or a box
// larger or further away than four times the picture's long edge.
Face locate(const Imaging::Bitmap& picture, const Box& box);

// The ten landmark regions of `face`, normalised to `box` (fractions of the
// picture, origin bottom-left, y up) as Vision::Landmarks holds them.
// Eyes, eyebrows, nose and lips are closed outlines (the last point joins the
// first), the face contour runs along the jaw from the person's right temple
// to their left, and each pupil region is its one refined point.
Vision::Landmarks regions(const Face& face, int pictureWidth, int pictureHeight, const Vision::Rect& box);

}  // namespace FaceLandmarks
