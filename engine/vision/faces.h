#pragma once
// The engine's face detector: faces with their landmark regions, as the
// retouching and analysis code reads them.

#include <optional>
#include <stdexcept>
#include <vector>

#include "engine/imaging/bitmap.h"

namespace Vision {

struct Point {
    double x = 0;
    double y = 0;
};

// A rectangle in fractions of the picture, origin at the bottom-left, y up.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Landmark regions; every point is a fraction of the face box, origin at the
// box's bottom-left corner, y up. A region the detector cannot give is empty.
// Left and right are the person's own: the left eye of a person facing the
// camera is on the right of the picture.
struct Landmarks {
    std::vector<Point> faceContour;
    std::vector<Point> leftEye;
    std::vector<Point> rightEye;
    std::vector<Point> leftPupil;
    std::vector<Point> rightPupil;
    std::vector<Point> leftEyebrow;
    std::vector<Point> rightEyebrow;
    std::vector<Point> nose;
    std::vector<Point> outerLips;
    std::vector<Point> innerLips;
};

struct FaceObservation {
    Rect boundingBox;
    float confidence = 0;
    std::optional<Landmarks> landmarks;
};

// The detector cannot run: its model is missing, unreadable or unusable.
// what() is a short sentence for the user.
struct Unavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Finds the faces in an 8-bit grey, RGB or RGBA picture, rows top-down, best
// confidence first. Large pictures are also searched tile by tile so that
// small faces in group photos are found. Boxes are clipped to the picture.
// Safe to call from several threads: the network is loaded once per process
// and its passes run one at a time. The model file is found as
// FaceModel::locate says (engine/vision/model.h). Throws Unavailable.
std::vector<FaceObservation> findFaces(const Imaging::Bitmap& picture);

// The same, with nothing when the detector cannot run (its model is missing, say).
std::optional<std::vector<FaceObservation>> detectFaces(const Imaging::Bitmap& picture);

// Detections below this confidence are never reported.
inline constexpr float minimumDetectionConfidence = 0.5f;

// The detector's six keypoints of one face, in pixels of the picture, origin
// at the top-left, y down. Left and right are the person's own.
struct FaceKeypoints {
    Point rightEye;
    Point leftEye;
    Point noseTip;
    Point mouthCentre;
    Point rightEarTragion;
    Point leftEarTragion;
};

// A face box in pixels of the picture, origin at the top-left, y down.
struct PixelBox {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
};

// Landmark regions drawn from the six keypoints and the face box by fixed
// facial proportions, scaled by the distance between the eyes and turned with
// the line through them. The single place where landmark regions are made, so
// that a landmark network can take its place without touching callers.
// Points come out normalised to `box` (origin bottom-left, y up).
Landmarks landmarksFromKeypoints(const FaceKeypoints& keypoints, const PixelBox& box);

}  // namespace Vision
