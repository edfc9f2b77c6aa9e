#pragma once
// Person segmentation: MediaPipe's selfie segmentation network (the
// TensorFlow.js graph model "selfie.json" with its weights "selfie.bin"),
// run by the graph executor of engine/vision/tfjs_graph.h. The picture is
// stretched to the network's 256 x 256 input, RGB scaled to 0...1; the result
// is the probability that each of the 256 x 256 samples shows a person.

#include <filesystem>
#include <optional>
#include <vector>

#include "engine/imaging/bitmap.h"

namespace PersonSegmentation {

inline constexpr const char* fileName = "selfie.json";
inline constexpr int side = 256;

// Environment variable naming the model file; when set (and not empty) it is
// the only place looked at.
inline constexpr const char* environmentVariable = "MERROW_SEGMENTATION_MODEL";

// The message of the Vision::Unavailable thrown when the model is missing or
// cannot be used.
inline constexpr const char* missingMessage = "Person segmentation model is missing.";

// The model file: MERROW_SEGMENTATION_MODEL when set, else the first
// selfie.json in Vision::modelFolders(); nothing when there is none.
std::optional<std::filesystem::path> locate();

// One pass over a 256 x 256 x 3 RGB input (row-major from the top-left pixel,
// values 0...1). Returns 256 x 256 probabilities. Loads the model on first
// use (once per model file and process); any number of threads may run
// passes at once. Throws Vision::Unavailable (missingMessage) when the model
// is missing or broken.
std::vector<float> probabilities(const std::vector<float>& input);

// The network input for an 8-bit grey, RGB or RGBA picture (rows top-down):
// stretched to 256 x 256 by area averaging, each byte b taken as b / 255.
std::vector<float> inputFrom(const Imaging::Bitmap& picture);

// The person mask of a picture: 256 x 256, one channel, each byte
// round(255 x probability). Throws Vision::Unavailable.
Imaging::Bitmap segment(const Imaging::Bitmap& picture);

}  // namespace PersonSegmentation
