#include "engine/portrait/faces.h"

namespace PortraitFaces {

std::vector<std::vector<double>> list(const std::filesystem::path&) {
    throw Failure("Face detection is not available in this build.");
}

}  // namespace PortraitFaces
