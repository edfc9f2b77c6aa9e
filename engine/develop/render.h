#pragma once
// Rendering a photo with a look into a JPEG file.

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/develop/look.h"

namespace Develop {

// A develop failure; what() is the message shown to the user.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

// The report of a finished render.
struct Rendered {
    int width = 0;
    int height = 0;
    long long bytes = 0;
    std::optional<double> cameraTemperature;
    std::optional<double> cameraTint;
    std::optional<std::vector<std::vector<double>>> blemishSpots;
};

// Renders the photo at `source` with `look` into a JPEG at `dest` (or into
// "render.jpg" of the inherited folder `deliveryOutputFD`). Returns nothing when
// the photo cannot be rendered; throws a Failure (or another std::exception)
// whose message is shown to the user.
std::optional<Rendered> renderToJPEG(const std::filesystem::path& source, const Look& look,
                                     const std::filesystem::path& dest, int longEdge, double quality,
                                     bool interactive, bool live, bool showSkinMask,
                                     bool preserveJPEGProfile, std::optional<int> deliveryOutputFD);

}  // namespace Develop
