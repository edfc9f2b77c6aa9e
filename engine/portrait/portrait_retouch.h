#pragma once
// The portrait retouch stages the develop pipeline calls: the experimental
// gate, the portrait analysis with its smoothing, and the colour-range pass;
// plus the identities of the external portrait runtimes that key their caches.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace PortraitLimits {

// Checks that the picture and look are within what the experimental portrait
// path can handle; throws that path's Failure otherwise.
void validate(const Imaging::Image& image, const Develop::Look& look);

}  // namespace PortraitLimits

namespace PortraitAnalysis {

// Identity of the external analysis runtime (empty when none is configured).
std::string runtimeIdentity();

// The analysed and retouched picture (skin tone, blemishes and multiscale
// smoothing) of the photo `file`; nothing when there is nothing to do. Throws
// the portrait Failures.
struct Retouch {
    std::string retouchKey;
    std::optional<std::string> blemishKey;
    bool cacheRetouch = false;
    bool showSkinMask = false;
};
std::optional<Imaging::Image> retouch(const Imaging::Image& image, const Develop::Look& look,
                                      const std::filesystem::path& file, const Retouch& options);

}  // namespace PortraitAnalysis

namespace PortraitBlemishes {

std::string runtimeIdentity();

// The blemish spots found for the last skin-mask view of the render running on
// this thread; cleared by each render. Renders on other threads do not see them.
std::optional<std::vector<std::vector<double>>> reported();
void setReported(std::optional<std::vector<std::vector<double>>> spots);

}  // namespace PortraitBlemishes

namespace PortraitTone {

std::string runtimeIdentity();

}  // namespace PortraitTone

namespace ColorRangeSkin {

// The colour-range retouch pass; nothing when it has nothing to do. Throws its Failure.
std::optional<Imaging::Image> apply(const Imaging::Image& image, const Develop::Look& look,
                                    const std::string& selectionKey, const std::string& key,
                                    const std::optional<std::string>& spotKey, bool showMask, bool cache);

}  // namespace ColorRangeSkin
