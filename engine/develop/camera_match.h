#pragma once
// Preparing a RAW file's camera look: the develop pipeline renders the
// neutral version that the camera's embedded preview is matched against.

#include <filesystem>
#include <optional>

#include "engine/imaging/image.h"

namespace Develop {

// `CameraLook::prepare` with our neutral rendering: the default look over
// `decodedNeutral` (the file decoded without a white-balance change, when the
// caller has it; otherwise a small decode of the file), scaled to the
// camera's preview.
void prepareCameraLook(const std::filesystem::path& file, const std::optional<Imaging::Image>& decodedNeutral);

}  // namespace Develop
