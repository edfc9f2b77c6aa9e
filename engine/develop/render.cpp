#include "engine/develop/render.h"

namespace Develop {

// Developing is not built yet: every render returns nothing.
std::optional<Rendered> renderToJPEG(const std::filesystem::path&, const Look&, const std::filesystem::path&,
                                     int, double, bool, bool, bool, bool, std::optional<int>) {
    return std::nullopt;
}

}  // namespace Develop
