#pragma once
// Camera look matching: when a RAW photo has no camera profile, our neutral
// rendering is compared with the preview the camera embedded in the file and
// one tone curve per channel is fitted that maps the first onto the second.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "engine/camera/blue_violet.h"
#include "engine/imaging/bitmap.h"
#include "engine/imaging/image.h"

namespace CameraLook {

// Red, green and blue curves of 256 levels each: the output level (0…255) for input level i.
struct Match {
    std::vector<std::vector<float>> curves;
};

inline constexpr int sampleEdge = 320;   // long edge of the compared pictures
inline constexpr int sampleStride = 3;   // every third pixel is sampled
inline constexpr std::size_t cacheLimit = 2000;

// The sampled pixels of a picture: every `sampleStride`-th pixel of the whole
// buffer (row-major, top row first, crossing row ends) as R, G, B, 255 bytes.
// Grey pictures give R = G = B; a picture with alpha is taken premultiplied.
// Nothing for an empty picture.
std::optional<std::vector<std::uint8_t>> pixels(const Imaging::Bitmap& bitmap);

// Counts of each level of one channel (0 red, 1 green, 2 blue) of sampled pixels.
std::vector<double> histogram(const std::vector<std::uint8_t>& samples, int channel);

// The colour-curve tables of a match: for each channel 256 values on 0…1.
// Nothing unless the match holds exactly three curves of 256 levels.
std::optional<std::array<std::vector<float>, 3>> curveTables(const Match& match);

// The cached match of a photo file, if one was prepared.
std::optional<Match> match(const std::filesystem::path& file);

// Our neutral rendering of the photo (linear values) at a size the match
// asks for, at most 320 pixels on the long edge; nothing when it cannot be
// made. The develop pipeline provides it (`Develop::prepareCameraLook`).
using NeutralRendering = std::function<std::optional<Imaging::Image>(int width, int height)>;

// Computes and caches the match of a RAW file unless it is cached or known to
// fail: our neutral rendering against the camera's embedded preview, both at
// the preview's size. Files that cannot be matched are remembered as misses.
void prepare(const std::filesystem::path& file, const NeutralRendering& neutral);

// True when preparing the file failed before (for diagnostics and tests).
bool knownMiss(const std::filesystem::path& file);

}  // namespace CameraLook

namespace CameraLookCurve {

inline constexpr double smoothing = 24;  // standard deviation of the smoothing, in levels

// The curve (256 output levels) that maps the distribution of `ours` onto
// that of `camera` by histogram matching, never going back, smoothed.
// The identity when either histogram is not 256 bins or is empty.
std::vector<float> fit(const std::vector<double>& ours, const std::vector<double>& camera);

}  // namespace CameraLookCurve
