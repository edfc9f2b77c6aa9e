#pragma once
// Camera tone: the camera's tone shoulder and scene lift.

#include <filesystem>
#include <optional>

#include "engine/imaging/image.h"

namespace CameraTone {

struct Match {
    double lift = 0;  // shadow lift of the scene, linear
};

// The cached tone match of a photo file, if one was prepared.
std::optional<Match> match(const std::filesystem::path& file);

// Lifts the linear scene by k; nothing when it cannot run.
std::optional<Imaging::Image> lift(const Imaging::Image& image, double k);
// The tone match on sRGB-encoded values; nothing without a match.
std::optional<Imaging::Image> apply(const Imaging::Image& image, const std::optional<Match>& match);
// The fixed tone shoulder applied after a camera profile, as point curves.
std::optional<Imaging::Image> shoulder(const Imaging::Image& image);

}  // namespace CameraTone
