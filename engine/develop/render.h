#pragma once
// Rendering a photo with a look into a JPEG file.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/develop/apply.h"
#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Develop {

// The report of a finished render.
struct Rendered {
    int width = 0;
    int height = 0;
    long long bytes = 0;
    std::optional<double> cameraTemperature;
    std::optional<double> cameraTint;
    std::optional<std::vector<std::vector<double>>> blemishSpots;
};

// What to render, how, and where to.
struct RenderRequest {
    std::filesystem::path source;
    Look look;
    std::filesystem::path dest;  // not used with a delivery descriptor
    int longEdge = 0;            // 0: the photo's full size
    double quality = 0.85;       // 0-1
    // While the photo is being edited: the decode, the picture up to noise
    // reduction and the portrait retouch are kept for the next render.
    bool interactive = false;
    // While a slider moves (with `interactive`): the quick decode.
    bool live = false;
    // With `interactive`: the skin mask drawn over the picture and the blemish spots reported.
    bool showSkinMask = false;
    // The source JPEG's own colour profile instead of sRGB; a source that
    // cannot lend one fails the render.
    bool preserveJPEGProfile = false;
    // "render.jpg" in this inherited folder descriptor instead of `dest`.
    std::optional<int> deliveryOutputFD{};
};

// Renders the request's photo with its look into a JPEG. Returns nothing when
// the photo cannot be decoded, the cropped picture has no pixels, or the JPEG
// cannot be encoded or written. Throws the failure of the source's profile
// (JPEGColourProfile::Failure, with preserveJPEGProfile) and those `apply`
// throws; their messages are shown to the user.
std::optional<Rendered> renderToJPEG(const RenderRequest& request);

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
