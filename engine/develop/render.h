#pragma once
// Rendering a photo with a look into a JPEG file.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/develop/apply.h"
#include "engine/develop/look.h"
#include "engine/imaging/image.h"

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

// The cache key of the portrait retouch of a photo: the file (path, time,
// size), the long edge, the look without the values that only blend or finish
// the retouched picture, and the external portrait runtimes.
std::string skinKey(const std::filesystem::path& source, const Look& look, int longEdge, bool excludingBlemishAmount);
// The key of the developed picture up to noise reduction (`ApplyOptions::baseKey`)
// of an interactive render: the file, the size, the decode and every look
// value except the sliders of later stages and the crop. Empty when the look
// cannot be written out.
std::string baseKey(const std::filesystem::path& source, const Look& look, int longEdge, bool live,
                    const ApplyOptions& options);

// Starts loading the camera profile of a RAW file in the background, so that
// the profile cache is warm when the decode is done. Returns at once.
void warmProfile(const std::filesystem::path& source, const Look& look);

// JPEG bytes of a linear picture, encoded as sRGB, or converted into the
// colour space of `profile` (ICC bytes) when one is given; no metadata and no
// ICC profile are written. Nothing when encoding fails.
std::optional<std::vector<std::uint8_t>> encodeJPEG(const Imaging::Image& linear, double quality,
                                                    const std::vector<std::uint8_t>* profile = nullptr);
// The same for a picture that is sRGB-encoded already.
std::optional<std::vector<std::uint8_t>> encodeDisplayJPEG(const Imaging::Image& encoded, double quality,
                                                           const std::vector<std::uint8_t>* profile = nullptr);

// Serialises whole renders while the experimental portrait path is on.
std::mutex& portraitRenderLock();

}  // namespace Develop
