#pragma once
// The develop pipeline: every stage of a look in its fixed order.

#include <filesystem>
#include <optional>
#include <string>

#include "engine/camera/camera_look.h"
#include "engine/camera/camera_profile.h"
#include "engine/camera/camera_tone.h"
#include "engine/develop/look.h"
#include "engine/imaging/fast_math.h"
#include "engine/imaging/image.h"

namespace Develop {

// What the pipeline needs besides the look and the picture.
struct ApplyOptions {
    bool extended = false;                              // the picture came from the RAW decoder
    std::optional<CameraLook::Match> camera;            // camera look match (files without a profile)
    std::optional<CameraProfile::Profile> profile;      // the camera profile chosen for the file
    std::optional<CameraTone::Match> tone;              // camera tone match with its shadow lift
    std::optional<std::string> retouchKey;              // portrait retouch cache key
    std::optional<std::string> blemishKey;              // blemish detection cache key
    std::optional<std::filesystem::path> portraitURL;   // the photo file, for the portrait analysis
    std::optional<std::string> rangeKey;                // colour-range selection key
    std::optional<std::string> spotKey;                 // colour-range spot key
    bool cacheRetouch = false;
    bool showSkinMask = false;
    double detailScale = 1;                             // picture size relative to the full-size photo
    bool displayEncoded = false;                        // return the picture sRGB-encoded, not linear
    // Identifies the picture as it leaves noise reduction (see `baseKey`):
    // when given, that picture is kept for the next call with the same key,
    // which starts at the tone sliders. Interactive renders give one.
    std::optional<std::string> baseKey;
};

// Runs every stage of `look.asDeveloped` over the decoded linear picture and
// returns the developed linear picture (sRGB-encoded with
// `options.displayEncoded`, skipping the final conversion). Throws the Failure of a portrait or
// healing stage.
Imaging::Image apply(const Look& look, const Imaging::Image& image, const ApplyOptions& options);
// The same for a picture the caller gives up: its pixels are reused when nobody else holds them.
Imaging::Image apply(const Look& look, Imaging::Image&& image, const ApplyOptions& options);

// The experimental portrait switch: MERROW_EXPERIMENTAL_SKIN is exactly "1".
bool experimentalSkin();

// Highlight roll-off on linear values.
struct Rolloff {
    float knee = 0.92f;
    float ceiling = 1;
    float gain = 1;
};
// Whether the roll-off runs for this look, and with which numbers.
bool rolloffRuns(const Look& look, bool extended);
Rolloff rolloffFor(const Look& look, bool hasProfile);
// One pixel through the roll-off: luminance is compressed smoothly above the
// knee towards the ceiling, and a channel that still stands out above the
// compressed peak is pulled towards grey just enough to fit.
inline Imaging::Pixel highlightRolloff(const Imaging::Pixel& s, const Rolloff& k) {
    // Written without branches (both sides of each choice worked out, then
    // selected), so that rows of pixels go through it in a vectorised loop.
    const float peak = std::max(s.r, std::max(s.g, s.b));
    const float span = std::max(k.ceiling - k.knee, 0.001f);
    const float y = std::max(0.2126f * s.r + 0.7152f * s.g + 0.0722f * s.b, 0.0001f);
    const auto bend = [&](float v) {
        const float bent = k.knee + span * (1 - FastMath::exp2(-((v - k.knee) / span) * k.gain * 1.44269504f));
        return v <= k.knee ? v : bent;
    };
    const float folded = bend(y);
    const float ratio = folded / y;
    Imaging::Pixel kept{s.r * ratio, s.g * ratio, s.b * ratio, s.a};
    const float keptPeak = peak * ratio;
    const float allowed = bend(peak);
    const float t = (keptPeak > allowed) & (keptPeak > folded) ? (keptPeak - allowed) / (keptPeak - folded) : 0.0f;
    kept.r += (folded - kept.r) * t;
    kept.g += (folded - kept.g) * t;
    kept.b += (folded - kept.b) * t;
    return peak > k.knee ? kept : s;
}


}  // namespace Develop
