// Camera rendering that is not built yet: no profiles, no matches; every stage
// has nothing to do.

#include "engine/camera/camera_look.h"
#include "engine/camera/camera_profile.h"
#include "engine/camera/camera_tone.h"

using Imaging::Image;

namespace CameraProfile {
std::optional<Profile> profile(const std::string&, const std::optional<std::string>&) { return std::nullopt; }
std::optional<Image> apply(const Image&, const Profile&) { return std::nullopt; }
}  // namespace CameraProfile

namespace CameraTone {
std::optional<Match> match(const std::filesystem::path&) { return std::nullopt; }
std::optional<Image> lift(const Image&, double) { return std::nullopt; }
std::optional<Image> apply(const Image&, const std::optional<Match>&) { return std::nullopt; }
std::optional<Image> shoulder(const Image&) { return std::nullopt; }
}  // namespace CameraTone

namespace CameraLook {
std::optional<Match> match(const std::filesystem::path&) { return std::nullopt; }
void prepare(const std::filesystem::path&, const std::optional<Image>&) {}
std::optional<Image> apply(const Image&, const std::optional<Match>&) { return std::nullopt; }
}  // namespace CameraLook

namespace BlueViolet {
std::optional<Image> apply(const Image&) { return std::nullopt; }
}  // namespace BlueViolet
