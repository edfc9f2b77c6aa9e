#pragma once
// The develop settings of one photo, carried in a request's "look".
//
// Placeholder until the look model lands: it keeps the JSON object as it came
// and reads the few fields the pipeline core uses.

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace Crop {

// Crop and straighten: edges as fractions of the width and height, measured
// from the left and from the top; the straightening angle in degrees.
struct Frame {
    double left = 0;
    double top = 0;
    double right = 1;
    double bottom = 1;
    std::optional<double> angle;

    bool operator==(const Frame&) const = default;
    bool isActive() const;  // engine/develop/crop.cpp
};

}  // namespace Crop

namespace Develop {

struct Look {
    nlohmann::json raw = nlohmann::json::object();

    std::optional<double> exposure;
    std::optional<double> temperature;
    std::optional<double> tint;
    std::optional<double> highlights;
    std::optional<double> grayscale;
    std::optional<std::string> profile;
    std::optional<Crop::Frame> crop;

    static Look neutral() { return Look{}; }

    bool isBlackAndWhite() const { return grayscale && *grayscale >= 0.5; }
};

// The tint offset is multiplied by this before it reaches the white balance.
inline constexpr double tintScale = 1.65;

// Decodes a look from its JSON value; nothing when the value breaks the look's rules.
std::optional<Look> decodeLook(const nlohmann::json& value);

// The look as a JSON object: only present fields, each under its key.
nlohmann::json encodeLook(const Look& look);

}  // namespace Develop
