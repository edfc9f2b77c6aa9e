#pragma once
// Camera profiles: the camera maker's picture styles read from the DCP files
// that Adobe Camera Raw installs, each baked into one colour cube per
// (camera model, profile name) and cached for the life of the process.

#include <array>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/imaging/image.h"

namespace CameraProfile {

struct Profile {
    std::string name;  // camera folder, " — ", the DCP's own profile name
    // cubeDimension³ entries of (R, G, B, A) floats, red fastest; shared read-only.
    std::shared_ptr<const std::vector<float>> cube;
    int cubeDimension = 96;
    double headroom = 1;  // the input scale the cube was built with

};

inline constexpr std::array<std::string_view, 5> knownProfiles{
    "Camera Neutral", "Camera Standard", "Camera Portrait", "Camera Landscape", "Camera Faithful"};
inline constexpr std::string_view defaultProfile = "Camera Neutral";

// The folders searched for camera folders, in order: the machine-wide one and
// the same path in the user's home folder ($HOME, read now).
std::vector<std::filesystem::path> searchRoots();

// The profile name actually looked up: `named` when it is a known profile,
// otherwise the default.
std::string profileName(const std::optional<std::string>& named);

// The cache key of a lookup ("<model>|<profile name>"); nothing for an empty model.
std::optional<std::string> cacheKey(const std::string& cameraModel, const std::optional<std::string>& named);

// The profile for a camera model (as the capture metadata names it) and the
// profile the user chose; nothing when the model is empty or no profile file
// is found for the camera or the stand-in camera. Lookups, misses included,
// are cached; safe from any thread.
std::optional<Profile> profile(const std::string& cameraModel, const std::optional<std::string>& named);

// The profile's cube as a per-pixel lookup (one trilinear lookup of the
// values as they arrive, sRGB-encoded in the pipeline, clamped to 0…1);
// nothing when the profile holds no usable cube.
std::optional<Imaging::CubeLookup> cubeLookup(const Profile& profile);

// The keys cached so far, sorted (for diagnostics and tests).
std::vector<std::string> cachedKeys();

}  // namespace CameraProfile
