#pragma once
// Picture evidence computed from a preview: the local analysis (scene and
// quality measures, faces, eye and sharpest region) and the feature print.
//
// Both are safe to call from any number of threads at once.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/imaging/bitmap.h"
#include "engine/vision/faces.h"

namespace Extraction {

// Scene measures of the 160 x 160 working reduction.
struct SceneEvidence {
    double luma = 0;           // mean Rec. 709 luma, 0...1
    double contrast = 0;       // 2.5 x standard deviation of luma, at most 1
    double saturation = 0;     // mean of max(r, g, b) - min(r, g, b)
    double warmth = 0;         // mean of (r - b + 1) / 2
    double highlightRate = 0;  // share of pixels with luma >= 0.98
    double shadowRate = 0;     // share of pixels with luma <= 0.03
    double edgeDensity = 0;    // share of interior pixels with a strong gradient
};

// A face, as fractions of the picture: centre (origin top-left, y down) and box area.
struct FaceEvidence {
    double x = 0;
    double y = 0;
    double area = 0;
};

// A point as fractions of the picture size, origin top-left, y down.
struct FocusPoint {
    double x = 0;
    double y = 0;
};

// Quality scores, each in [0, 1].
struct QualityEvidence {
    double focus = 0;
    double motion = 0;
    std::optional<double> eyesOpen;  // never measured here
    double exposure = 0;
    double highlightSafety = 0;
    std::optional<double> faceVisibility;  // absent when no face was found
    double composition = 0;
    std::optional<double> expression;  // never measured here
};

// Scene, quality and face evidence of one preview.
struct LocalAnalysis {
    int version = 2;
    SceneEvidence scene;
    std::vector<FaceEvidence> faces;  // in the detector's order
    std::optional<FocusPoint> eyePoint;    // the most open eye of the largest face
    std::optional<FocusPoint> focusPoint;  // centre of the sharpest region
    QualityEvidence quality;
};

// The faces of a picture and the most likely eye position.
struct FaceFindings {
    std::vector<FaceEvidence> faces;
    std::optional<FocusPoint> eye;
};

// The analysis as the JSON object written into a result; absent optional
// members are left out.
nlohmann::ordered_json toJSON(const LocalAnalysis& analysis);

// Analyses a preview (1, 3 or 4 channels; RGBA is taken as straight alpha over
// black). Faces come from Vision::detectFaces (its quick search, which keeps
// the analysis cheap) run on the preview itself; a
// detector that cannot run counts as no faces. Absent only when the preview is
// not a usable bitmap (empty, or pixel buffer of the wrong size).
std::optional<LocalAnalysis> localAnalysis(const Imaging::Bitmap& preview);

// The same with the face observations given instead of detected.
std::optional<LocalAnalysis> localAnalysis(const Imaging::Bitmap& preview,
                                           const std::vector<Vision::FaceObservation>& observations);

// Faces and eye of the preview, found by Vision::detectFaces (quick search).
FaceFindings faceEvidence(const Imaging::Bitmap& preview);

// Faces and eye read from observations: face centres and areas in order, and
// the centre of the more widely spread eye region of the largest face.
// Observations whose box is not finite are ignored.
FaceFindings faceEvidence(const std::vector<Vision::FaceObservation>& observations);

// Feature print: a fixed-length vector describing the picture's content, so
// that similar pictures give nearby vectors (compare with L2 distance). The
// vector has unit length and is the same, bit for bit, for the same pixels on
// every run and machine.
inline constexpr std::size_t featurePrintElements = 768;
using FeaturePrintVector = std::array<float, featurePrintElements>;

// The vector of a picture; absent when the bitmap is not usable.
std::optional<FeaturePrintVector> featurePrintVector(const Imaging::Bitmap& preview);

// The vector as carried in results: its 3072 bytes (little-endian IEEE-754
// single-precision floats) in standard Base64 with padding, 4096 characters.
std::string encodeFeaturePrint(const FeaturePrintVector& vector);

// The reverse; absent unless the text is exactly such an encoding.
std::optional<FeaturePrintVector> decodeFeaturePrint(std::string_view text);

// The encoded feature print of a picture; absent when it cannot be computed.
std::optional<std::string> featurePrint(const Imaging::Bitmap& preview);

}  // namespace Extraction
