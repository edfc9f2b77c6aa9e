#include "engine/develop/look.h"

namespace Develop {

std::optional<Look> decodeLook(const nlohmann::json& value) {
    if (!value.is_object()) return std::nullopt;
    return Look{value};
}

}  // namespace Develop
