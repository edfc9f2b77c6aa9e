#include "engine/develop/look.h"

namespace Develop {

namespace {

// Reads an optional number; false when the key holds something else.
bool readNumber(const nlohmann::json& object, const char* key, std::optional<double>& field) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_number()) return false;
    field = it->get<double>();
    return true;
}

}  // namespace

std::optional<Look> decodeLook(const nlohmann::json& value) {
    if (!value.is_object()) return std::nullopt;
    Look look;
    look.raw = value;
    if (!readNumber(value, "exposure", look.exposure) || !readNumber(value, "temperature", look.temperature) ||
        !readNumber(value, "tint", look.tint) || !readNumber(value, "highlights", look.highlights) ||
        !readNumber(value, "grayscale", look.grayscale))
        return std::nullopt;
    if (const auto it = value.find("profile"); it != value.end() && !it->is_null()) {
        if (!it->is_string()) return std::nullopt;
        look.profile = it->get<std::string>();
    }
    if (const auto it = value.find("crop"); it != value.end() && !it->is_null()) {
        if (!it->is_object()) return std::nullopt;
        Crop::Frame frame;
        for (auto [key, edge] : {std::pair{"left", &frame.left}, std::pair{"top", &frame.top},
                                 std::pair{"right", &frame.right}, std::pair{"bottom", &frame.bottom}}) {
            const auto e = it->find(key);
            if (e == it->end() || !e->is_number()) return std::nullopt;
            *edge = e->get<double>();
        }
        if (!readNumber(*it, "angle", frame.angle)) return std::nullopt;
        look.crop = frame;
    }
    // Without nulls: an absent field has no key.
    for (auto it = look.raw.begin(); it != look.raw.end();) it = it->is_null() ? look.raw.erase(it) : std::next(it);
    return look;
}

nlohmann::json encodeLook(const Look& look) {
    nlohmann::json out = look.raw;
    const auto put = [&](const char* key, const std::optional<double>& v) {
        if (v) out[key] = *v;
        else out.erase(key);
    };
    put("exposure", look.exposure);
    put("temperature", look.temperature);
    put("tint", look.tint);
    put("highlights", look.highlights);
    put("grayscale", look.grayscale);
    if (look.profile) out["profile"] = *look.profile;
    else out.erase("profile");
    if (look.crop) {
        nlohmann::json frame{{"left", look.crop->left}, {"top", look.crop->top}, {"right", look.crop->right},
                             {"bottom", look.crop->bottom}};
        if (look.crop->angle) frame["angle"] = *look.crop->angle;
        out["crop"] = frame;
    } else {
        out.erase("crop");
    }
    return out;
}

}  // namespace Develop
