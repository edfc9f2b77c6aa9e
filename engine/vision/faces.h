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
    float confidence = 0;  // calibrated: clearly visible faces 0.8 and above
    std::optional<Landmarks> landmarks;
    float detectorScore = 0;            // BlazeFace's own score
    std::optional<float> checkScore;    // the second opinion's score, when one was asked (face_check.h)
};

// The detector cannot run: its model is missing, unreadable or unusable.
// what() is a short sentence for the user.
struct Unavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// How hard to look.
//   quick:    the BlazeFace passes only; a face's confidence is the detector's
//             score (the picture evidence of previews, which must stay cheap).
//   thorough: also the detector's weaker candidates (down to candidateScore,
//             with supportScore), and every candidate below confidentScore is
//             checked by the SSD face network on a crop around it
//             (engine/vision/face_check.h), which finds turned and profile
//             faces the detector scores low and rejects its false detections. A checked face reports the
//             larger of its detector score and the check's calibrated
//             confidence. Without the SSD model this is the quick search.
enum class Search { quick, thorough };

// Finds the faces in an 8-bit grey, RGB or RGBA picture, rows top-down, best
// confidence first. Large pictures are also searched tile by tile so that
// small faces in group photos are found. Boxes are clipped to the picture and
// follow BlazeFace's convention (brows to chin). Safe to call from several
// threads: the networks are loaded once per process and run with per-thread
// scratch memory. The model file is found as FaceModel::locate says
// (engine/vision/model.h). Throws Unavailable.
std::vector<FaceObservation> findFaces(const Imaging::Bitmap& picture, Search search = Search::thorough);

// The same, with nothing when the detector cannot run (its model is missing, say).
std::optional<std::vector<FaceObservation>> detectFaces(const Imaging::Bitmap& picture,
                                                        Search search = Search::thorough);

// Faces whose confidence is below this are never reported.
inline constexpr float minimumDetectionConfidence = 0.5f;

// A thorough search considers the faces whose best detection scores at least
// this,
inline constexpr float candidateScore = 0.3f;
// with their weaker detections down to this score (a turned face is often
// found twice, once on the cheek and once on the whole head, and the check
// may confirm only one of the two),
inline constexpr float supportScore = 0.2f;
// checks those below this score (taking the ones above as they are),
inline constexpr float confidentScore = 0.8f;
// and at most this many of them, best detector score first (a group photo
// of small faces needs about one check per face).
inline constexpr int maximumChecks = 32;

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
// the line through them. findFaces takes its regions from the 68-point
// landmark network (engine/vision/landmarks68.h) and falls back on these only
// when that network's model is missing or unusable.
// Points come out normalised to `box` (origin bottom-left, y up).
Landmarks landmarksFromKeypoints(const FaceKeypoints& keypoints, const PixelBox& box);

}  // namespace Vision
