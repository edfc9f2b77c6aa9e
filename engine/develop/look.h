#pragma once
// The develop settings of one photo, carried in a request's "look".
//
// Placeholder until the look model lands: it accepts any JSON object and
// keeps it as it came.

#include <optional>

#include <nlohmann/json.hpp>

namespace Develop {

struct Look {
    nlohmann::json raw = nlohmann::json::object();

    static Look neutral() { return Look{}; }
};

// Decodes a look from its JSON value; nothing when the value breaks the look's rules.
std::optional<Look> decodeLook(const nlohmann::json& value);

}  // namespace Develop
