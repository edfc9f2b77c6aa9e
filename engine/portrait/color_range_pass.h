#pragma once
// The colour-range retouch pass, the develop pipeline's default portrait
// retouch: skin selection, spot healing, colour evenness and under-eye lift,
// multiscale smoothing of the selected skin, then eye-white and teeth
// whitening; or, in overlay mode, the selection tinted red.
//
// Two one-entry caches keep the last selection and the last prepared
// smoothing (spot healing, the touches before smoothing and the blurs), so
// that moving the smoothing, eye-white or teeth slider re-renders with one
// blend and the feature touches. `ColorRangeSkin::apply` in
// portrait_retouch.h is the pipeline's entry point; this header adds what
// tests, benchmarks and the visual report need besides.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"
#include "engine/portrait/color_range_skin.h"
#include "engine/portrait/face_touches.h"

namespace ColorRangeSkin {

// The pass over a picture it takes over: the retouched picture or the
// overlay, or nothing when the look asks for no colour-range retouch (the
// picture is then left as it was). When it returns a picture, the given
// one's pixels are let go as soon as the pass no longer needs them, so that
// a full-size render does not hold the picture twice. `analyser` gives the
// selection's person segmentation and face landmarks. Throws the errors of
// the selection, spot healing, the face touches and the smoothing unchanged.
std::optional<Imaging::Image> apply(Imaging::Image&& image, const Develop::Look& look,
                                    const std::string& selectionKey, const std::string& key,
                                    const std::optional<std::string>& spotKey, bool showMask, bool cache,
                                    const Analyser& analyser = analyse);

// The work the pass has done in this process, counted when it is done (not
// when a cache answers): selections made (segmentation and landmarks), spot
// healings run, and smoothing preparations made (the three blur levels).
struct Work {
    std::uint64_t selections = 0;
    std::uint64_t spotHealings = 0;
    std::uint64_t preparations = 0;
};
Work work();

// The look's values as the pass reads them: percentages clamped to 0…100
// (absent or not finite: 0; texture 85), divided by 100.
struct Values {
    double smooth = 0;
    double spots = 0;
    double even = 0;
    double underEye = 0;
    double whites = 0;
    double teeth = 0;
    double texture = 0.85;
};
Values values(const Develop::Look& look);

// The settings of each selected face (parallel to `selection.faces`), matched
// by `Look::faceSettings` on the face's box; absent where none matches.
std::vector<std::optional<Develop::Look::FaceSettings>> faceSettings(const Develop::Look& look, const Result& selection,
                                                                     int width, int height);

// Each face's touch amounts: its own value where its settings carry one,
// else the look's.
std::vector<FaceTouches::Amounts> amounts(const Values& global,
                                          const std::vector<std::optional<Develop::Look::FaceSettings>>& settings);

// What the face touches read of a selection.
FaceTouches::Selection touchSelection(const Result& selection);

}  // namespace ColorRangeSkin
