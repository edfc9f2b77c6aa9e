#pragma once
// Camera look matching: renders without a profile so that they resemble the
// camera's own preview; and the blue-violet correction.

#include <filesystem>
#include <optional>

#include "engine/imaging/image.h"

namespace CameraLook {

struct Match {};

// The cached look match of a photo file, if one was prepared.
std::optional<Match> match(const std::filesystem::path& file);
// Prepares the match of a file, from the given neutral decode when there is one.
void prepare(const std::filesystem::path& file, const std::optional<Imaging::Image>& decodedNeutral);
// The match on sRGB-encoded values; nothing without a match.
std::optional<Imaging::Image> apply(const Imaging::Image& image, const std::optional<Match>& match);

}  // namespace CameraLook

namespace BlueViolet {

// Tames the blue-violet hues a RAW rendering gets wrong; nothing when it cannot run.
std::optional<Imaging::Image> apply(const Imaging::Image& image);

}  // namespace BlueViolet
