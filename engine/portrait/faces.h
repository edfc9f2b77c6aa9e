#pragma once
// The faces that portrait retouching would treat in a photo.
//
// Faces are found on a fresh decode of the file, never on a develop working
// image: the photo is reduced to an upright 8-bit sRGB analysis bitmap of at
// most 1600 pixels on its long edge and the face detector runs on that.

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "engine/imaging/bitmap.h"
#include "engine/vision/faces.h"

namespace PortraitFaces {

// Minimum face width, in pixels of the full-size photo, for a face to be
// eligible in experimental skin mode; also detect's default minimum width.
inline constexpr double minimumFaceWidth = 200;
// Minimum face width, in pixels of the full-size photo, in normal mode.
inline constexpr double minimumBasicFaceWidth = 64;
// At most this many faces are eligible.
inline constexpr int maximumFaces = 12;
// Faces whose detector confidence is below this are dropped entirely.
inline constexpr float minimumConfidence = 0.8f;
// Long edge bound of the analysis bitmap.
inline constexpr int analysisLongEdge = 1600;

// A face-finding failure; what() is the message shown to the user.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

inline constexpr const char* undecodable = "Could not decode photo for skin analysis";
inline constexpr const char* unpreparable = "Could not prepare sRGB skin analysis";

// One face, in pixels of the analysis bitmap, origin at the top-left, y down.
struct Detected {
    double x1 = 0;
    double y1 = 0;
    double x2 = 0;
    double y2 = 0;
    bool eligible = false;  // wide enough, and among the first maximumFaces such faces
};

struct Detection {
    Imaging::Bitmap bitmap;  // the analysis bitmap the faces were found in (8-bit sRGB, upright)
    std::vector<Detected> faces;  // eligible faces first, then the rest; widest first within each
};

// The analysis bitmap of a photo file with the stored (unrotated) pixel size
// of its full image.
struct AnalysisPicture {
    Imaging::Bitmap bitmap;
    int fullWidth = 0;
    int fullHeight = 0;
};

// Decodes the photo into its analysis bitmap: rendered files (JPEG, HEIC)
// through the photo library's full decode, RAW files through a fast
// half-size LibRaw decode (never the embedded preview), upright, reduced to at
// most analysisLongEdge pixels. Throws Failure.
AnalysisPicture analysisPicture(const std::filesystem::path& photo);

// The faces to list, from the detector's observations on a bitmapWidth x
// bitmapHeight bitmap of a fullWidth x fullHeight photo: observations below
// minimumConfidence are dropped; the rest are sorted widest first (a stable
// sort); a face is eligible while fewer than maximumFaces faces are and its
// width in full-size pixels is at least minimumWidth; eligible faces come first.
std::vector<Detected> eligibility(const std::vector<Vision::FaceObservation>& observations, int bitmapWidth,
                                  int bitmapHeight, int fullWidth, int fullHeight, double minimumWidth);

// Runs the face detector on an analysis bitmap of a fullWidth x fullHeight
// photo. Throws Failure carrying the detector's own message when it cannot run.
Detection detect(Imaging::Bitmap bitmap, int fullWidth, int fullHeight, double minimumWidth = minimumFaceWidth);

// Decodes the photo and finds its faces. Throws Failure.
Detection detect(const std::filesystem::path& photo, double minimumWidth = minimumFaceWidth);

// The minimum face width of the current mode: minimumFaceWidth when
// MERROW_EXPERIMENTAL_SKIN is exactly "1", minimumBasicFaceWidth otherwise.
// Read at every call.
double modeMinimumWidth();

// Each face as [x1/w, y1/h, x2/w, y2/h, eligible ? 1 : 0], w and h the
// analysis bitmap's size, in detect's order.
std::vector<std::vector<double>> fractions(const Detection& detection);

// detect with the mode's minimum width, as fractions. Throws Failure.
std::vector<std::vector<double>> list(const std::filesystem::path& photo);

}  // namespace PortraitFaces
