#pragma once
// Camera profiles: the colour rendering of a camera model, read from DCP files.

#include <optional>
#include <string>

#include "engine/imaging/image.h"

namespace CameraProfile {

struct Profile {
    std::string name;
    double headroom = 1;  // linear headroom the profile expects above 1.0
};

// The profile for a camera model, by the look's profile name or the camera's
// default; nothing when none is known. Cached; safe from any thread.
std::optional<Profile> profile(const std::string& cameraModel, const std::optional<std::string>& named);

// The profile's rendering of an sRGB-encoded picture; nothing when it cannot run.
std::optional<Imaging::Image> apply(const Imaging::Image& image, const Profile& profile);

}  // namespace CameraProfile
