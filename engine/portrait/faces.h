#pragma once
// The faces that portrait retouching would treat in a photo.

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace PortraitFaces {

// A face-finding failure; what() is the message shown to the user.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

// Each face as [x1, y1, x2, y2, eligible]. Throws Failure.
std::vector<std::vector<double>> list(const std::filesystem::path& photo);

}  // namespace PortraitFaces
