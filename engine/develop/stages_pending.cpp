// Stages whose adjustments are not built yet: each has nothing to do, which
// the develop pipeline treats as keeping the picture.

#include "engine/develop/colormix.h"
#include "engine/develop/curves.h"
#include "engine/develop/detail.h"
#include "engine/develop/grain.h"
#include "engine/develop/monochrome.h"
#include "engine/develop/tonesliders.h"
#include "engine/develop/presence.h"

using Imaging::Image;
using Look = Develop::Look;

namespace ToneSliders { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace ParametricCurve { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace Presence { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace Curves { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace ColorMix { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace ChromaSliders { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace Monochrome { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace Grain { std::optional<Image> filter(const Look&, const Image&) { return std::nullopt; } }
namespace Detail {
std::optional<Image> reduceNoise(const Look&, const Image&, double) { return std::nullopt; }
std::optional<Image> sharpen(const Look&, const Image&, double) { return std::nullopt; }
}  // namespace Detail
