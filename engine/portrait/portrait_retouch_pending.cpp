// Portrait retouch stages that are not built yet: each has nothing to do.

#include "engine/portrait/portrait_retouch.h"

using Imaging::Image;

namespace ColorRangeSkin {
std::optional<Image> apply(const Image&, const Develop::Look&, const std::string&, const std::string&,
                           const std::optional<std::string>&, bool, bool) {
    return std::nullopt;
}
}  // namespace ColorRangeSkin
