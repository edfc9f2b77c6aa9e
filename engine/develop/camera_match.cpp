#include "engine/develop/camera_match.h"

#include <exception>
#include <optional>

#include "engine/camera/camera_look.h"
#include "engine/develop/apply.h"
#include "engine/develop/decode.h"

namespace Develop {

namespace {

// Our rendering with the default look at the preview's size.
Imaging::Image neutralRendering(const Imaging::Image& image, int width, int height) {
    if (image.empty()) return image;
    const Imaging::Image scaled = Imaging::lanczosResize(image, width, height);
    try {
        ApplyOptions options;
        options.extended = true;
        options.detailScale = 1;
        return apply(Look{}, scaled, options);
    } catch (const std::exception&) {
        return scaled;
    }
}

}  // namespace

void prepareCameraLook(const std::filesystem::path& file, const std::optional<Imaging::Image>& sample) {
    CameraLook::prepare(file, [&](int width, int height) -> std::optional<Imaging::Image> {
        if (sample) return neutralRendering(*sample, width, height);
        const auto decoded = decode(file, Look{}, CameraLook::sampleEdge);
        if (!decoded || !decoded->extended) return std::nullopt;
        return neutralRendering(decoded->image, width, height);
    });
}

}  // namespace Develop
