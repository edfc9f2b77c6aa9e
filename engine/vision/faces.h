#pragma once
// The engine's face detector: faces with their landmark regions, as the
// retouching and analysis code reads them.

#include <optional>
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

// Finds the faces in an 8-bit RGB (or RGBA) picture, rows top-down.
// Nothing when the detector cannot run (its model is missing, say).
std::optional<std::vector<FaceObservation>> detectFaces(const Imaging::Bitmap& picture);

}  // namespace Vision
