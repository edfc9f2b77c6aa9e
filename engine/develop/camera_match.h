#pragma once
// Preparing a RAW file's camera look: the develop pipeline renders the
// neutral version that the camera's embedded preview is matched against.

#include <filesystem>
#include <optional>

#include "engine/imaging/image.h"

namespace Develop {

// `CameraLook::prepare` with our neutral rendering: the default look over the
// file decoded as shot at `CameraLook::sampleEdge`, scaled to the camera's
// preview. The neutral is always that one decode, never the picture of the
// render that happens to ask first, so the match depends on the file alone
// (renders of different sizes, in any order, get the same match). `sample`
// is that decode when the caller has it already (`Decoded::sample`);
// otherwise the file is decoded again.
void prepareCameraLook(const std::filesystem::path& file, const std::optional<Imaging::Image>& sample = std::nullopt);

}  // namespace Develop
