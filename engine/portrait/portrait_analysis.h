#pragma once
// The skin mask of a portrait from the external face-parsing worker.
//
// `make` decodes the photo into its upright analysis bitmap (at most 1600
// pixels on the long edge), checks that it shows exactly one clearly visible
// face at least 100 pixels wide, writes the bitmap as a PNG, runs the worker
// named by the MERROW_PORTRAIT_ variables once, checks the mask it answers
// with, and keeps the last analysis so that renders of the same photo at any
// size reuse the mask. The worker contract is described in the README.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/imaging/image.h"
#include "engine/portrait/portrait_retouch.h"
#include "engine/vision/faces.h"

namespace PortraitAnalysis {

// An analysis failure; what() is the message shown to the user.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

inline constexpr const char* notConfigured =
    "FaceXFormer skin runtime is not configured. Start the experimental Studio launcher.";
inline constexpr const char* needsOneFace = "Skin retouch currently needs exactly one clearly visible face";
inline constexpr const char* faceTooSmall = "Face is too small for skin retouch";
inline constexpr const char* imageNotPrepared = "Could not prepare skin analysis image";
inline constexpr const char* imageNotEncoded = "Could not encode skin analysis image";
inline constexpr const char* workerFailed = "FaceXFormer skin analysis failed. Check the local runtime and model files.";
inline constexpr const char* orientationMismatch =
    "Skin mask orientation or aspect ratio does not match the rendered photo";

// Narrowest face, in analysis pixels, that is retouched.
inline constexpr double minimumFaceWidth = 100;
// Lowest detector confidence of the one face.
inline constexpr float minimumConfidence = 0.8f;

// One face's own mask; `make` never produces them.
struct Region {
    Imaging::Image image;
    double faceWidth = 0;
    Imaging::Rect bounds;
};

struct Result {
    Imaging::Image image;                 // the skin mask over the requested extent (weight = red × alpha)
    double faceWidth = 0;                 // the face's width in pixels of the requested extent
    std::filesystem::path directory;      // the folder holding the mask file (the worker's output folder)
    std::vector<Region> regions;          // per-face masks; empty from `make`
    std::vector<Develop::Look::FaceRect> faces;  // per-face boxes (fractions of the photo, y from the top); empty from `make`
};

// The face box handed to the worker, in pixels of a w × h bitmap, origin at
// the top-left.
struct FaceBox {
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    double width = 0;  // the face's width in bitmap pixels
};

// The one face of the detector's observations: exactly one, with confidence
// at least 0.8 (needsOneFace otherwise), at least 100 pixels wide (faceTooSmall).
FaceBox singleFace(const std::vector<Vision::FaceObservation>& observations, int w, int h);

// The skin mask of the photo `url` for a working image of `extent` (which
// must start at (0, 0) and have the analysis bitmap's aspect ratio). Holds
// the analysis lock for the whole call, worker run included. Throws Failure,
// PortraitFaces::Failure for an undecodable photo, and the system's errors
// (std::system_error, std::filesystem::filesystem_error) as they come.
Result make(const std::filesystem::path& url, const Imaging::Rect& extent);

}  // namespace PortraitAnalysis
