#include "engine/vision/faces.h"

namespace Vision {

// No detector is built in yet.
std::optional<std::vector<FaceObservation>> detectFaces(const Imaging::Bitmap&) { return std::nullopt; }

}  // namespace Vision
