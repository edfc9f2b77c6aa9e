#pragma once
// The camera rendering as a row kernel, which the develop pipeline applies a
// row at a time right after the display encoding: with a camera profile, its
// colour cube, the tone match and the shoulder; without one, the camera
// look's curves, the blue-violet correction (RAW decodes only) and the tone
// match.

#include <optional>
#include <vector>

#include "engine/camera/blue_violet.h"
#include "engine/camera/camera_look.h"
#include "engine/camera/camera_profile.h"
#include "engine/camera/camera_tone.h"
#include "engine/imaging/colour/point_curves.h"
#include "engine/imaging/image.h"

namespace CameraRendering {

class Rows {
public:
    // `extended`: the picture came from the RAW decoder.
    Rows(const std::optional<CameraProfile::Profile>& profile, const std::optional<CameraLook::Match>& look,
         const std::optional<CameraTone::Match>& tone, bool extended);

    // `count` sRGB-encoded pixels in place, alpha kept.
    void apply(Imaging::Pixel* pixels, int count) const;

private:
    bool profiled_ = false;
    std::optional<Imaging::CubeLookup> cube_;
    const std::optional<Curves::Tables>* shoulder_ = nullptr;
    std::optional<std::vector<float>> toneKnots_;
    std::optional<Curves::ColourCurveRows> lookRows_;
    bool blueViolet_ = false;
};

}  // namespace CameraRendering
