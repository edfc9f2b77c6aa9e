#include "engine/develop/look.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <type_traits>

namespace Develop {

namespace {

// Each record lists its fields once, as (key, member) pairs in declaration
// order; decoding and encoding both walk that list.
template <class T>
struct Fields;

template <>
struct Fields<Look::FaceSettings> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("at", s.at);
        v("skinBlemishes", s.skinBlemishes);
        v("skinSmooth", s.skinSmooth);
        v("skinTexture", s.skinTexture);
        v("skinTone", s.skinTone);
        v("skinUnderEye", s.skinUnderEye);
        v("skinRangeSmooth", s.skinRangeSmooth);
        v("skinRangeTone", s.skinRangeTone);
        v("skinRangeUnderEye", s.skinRangeUnderEye);
        v("eyeWhites", s.eyeWhites);
        v("teethWhiten", s.teethWhiten);
    }
};

template <>
struct Fields<Look::RemoveArea> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("tool", s.tool);
        v("r", s.r);
        v("pts", s.pts);
        v("fill", s.fill);
    }
};

template <>
struct Fields<Curves::Set> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("master", s.master);
        v("red", s.red);
        v("green", s.green);
        v("blue", s.blue);
    }
};

template <>
struct Fields<ColorMix::Band> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("hue", s.hue);
        v("saturation", s.saturation);
        v("luminance", s.luminance);
    }
};

template <>
struct Fields<ColorMix::Bands> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("red", s.red);
        v("orange", s.orange);
        v("yellow", s.yellow);
        v("green", s.green);
        v("aqua", s.aqua);
        v("blue", s.blue);
        v("purple", s.purple);
        v("magenta", s.magenta);
    }
};

template <>
struct Fields<Monochrome::Mix> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("red", s.red);
        v("orange", s.orange);
        v("yellow", s.yellow);
        v("green", s.green);
        v("aqua", s.aqua);
        v("blue", s.blue);
        v("purple", s.purple);
        v("magenta", s.magenta);
    }
};

template <>
struct Fields<Crop::Frame> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("left", s.left);
        v("top", s.top);
        v("right", s.right);
        v("bottom", s.bottom);
        v("angle", s.angle);
    }
};

template <>
struct Fields<Look> {
    template <class S, class V>
    static void visit(S& s, V&& v) {
        v("exposure", s.exposure);
        v("temperature", s.temperature);
        v("tint", s.tint);
        v("contrast", s.contrast);
        v("highlights", s.highlights);
        v("shadows", s.shadows);
        v("whites", s.whites);
        v("blacks", s.blacks);
        v("vibrance", s.vibrance);
        v("saturation", s.saturation);
        v("texture", s.texture);
        v("clarity", s.clarity);
        v("dehaze", s.dehaze);
        v("grainAmount", s.grainAmount);
        v("grainSize", s.grainSize);
        v("grainRoughness", s.grainRoughness);
        v("skinTone", s.skinTone);
        v("skinUnderEye", s.skinUnderEye);
        v("skinBlemishes", s.skinBlemishes);
        v("skinBlemishKeep", s.skinBlemishKeep);
        v("skinFaces", s.skinFaces);
        v("skinSmooth", s.skinSmooth);
        v("skinRangeSmooth", s.skinRangeSmooth);
        v("skinSpots", s.skinSpots);
        v("skinSpotAdd", s.skinSpotAdd);
        v("removeAreas", s.removeAreas);
        v("skinRangeTone", s.skinRangeTone);
        v("skinRangeUnderEye", s.skinRangeUnderEye);
        v("eyeWhites", s.eyeWhites);
        v("teethWhiten", s.teethWhiten);
        v("skinTexture", s.skinTexture);
        v("skinDetailSize", s.skinDetailSize);
        v("skinTextureSize", s.skinTextureSize);
        v("skinConfidence", s.skinConfidence);
        v("skinMaskFeather", s.skinMaskFeather);
        v("skinFeatureProtection", s.skinFeatureProtection);
        v("curveShadows", s.curveShadows);
        v("curveDarks", s.curveDarks);
        v("curveLights", s.curveLights);
        v("curveHighlights", s.curveHighlights);
        v("curve", s.curve);
        v("colorMix", s.colorMix);
        v("grayscale", s.grayscale);
        v("grayMix", s.grayMix);
        v("profile", s.profile);
        v("sharpenAmount", s.sharpenAmount);
        v("sharpenRadius", s.sharpenRadius);
        v("sharpenDetail", s.sharpenDetail);
        v("sharpenMasking", s.sharpenMasking);
        v("noiseLuminance", s.noiseLuminance);
        v("noiseColor", s.noiseColor);
        v("crop", s.crop);
    }
};

template <class T>
concept Record = requires { sizeof(Fields<T>); };

// --- decoding -------------------------------------------------------------

// Thrown inside the decoder when the JSON breaks the look's rules.
struct Undecodable {};

void read(const nlohmann::json& j, double& out) {
    if (!j.is_number()) throw Undecodable{};
    out = j.get<double>();
}

void read(const nlohmann::json& j, std::string& out) {
    if (!j.is_string()) throw Undecodable{};
    out = j.get<std::string>();
}

template <class T>
void read(const nlohmann::json& j, std::vector<T>& out);

template <Record T>
void read(const nlohmann::json& j, T& out);

template <class T>
void read(const nlohmann::json& j, std::vector<T>& out) {
    if (!j.is_array()) throw Undecodable{};
    out.clear();
    out.reserve(j.size());
    for (const auto& element : j) read(element, out.emplace_back());
}

// Reads the fields of one object: optional ones when present and not null,
// required ones always.
struct FieldReader {
    const nlohmann::json& object;

    const nlohmann::json* find(const char* key) const {
        auto it = object.find(key);
        if (it == object.end() || it->is_null()) return nullptr;
        return &*it;
    }

    template <class T>
    void operator()(const char* key, std::optional<T>& out) const {
        out.reset();
        if (const auto* value = find(key)) read(*value, out.emplace());
    }

    template <class T>
    void operator()(const char* key, T& out) const {
        const auto* value = find(key);
        if (!value) throw Undecodable{};
        read(*value, out);
    }
};

template <Record T>
void read(const nlohmann::json& j, T& out) {
    if (!j.is_object()) throw Undecodable{};
    Fields<T>::visit(out, FieldReader{j});
}

// --- encoding -------------------------------------------------------------

nlohmann::json write(double v) { return v == 0 ? 0.0 : v; }  // no negative zero
nlohmann::json write(const std::string& v) { return v; }

template <Record T>
nlohmann::json write(const T& record);

template <class T>
nlohmann::json write(const std::vector<T>& list) {
    auto out = nlohmann::json::array();
    for (const auto& element : list) out.push_back(write(element));
    return out;
}

struct FieldWriter {
    nlohmann::json& object;

    template <class T>
    void operator()(const char* key, const std::optional<T>& value) const {
        if (value) object[key] = write(*value);
    }

    template <class T>
    void operator()(const char* key, const T& value) const {
        object[key] = write(value);
    }
};

template <Record T>
nlohmann::json write(const T& record) {
    auto out = nlohmann::json::object();
    Fields<T>::visit(record, FieldWriter{out});
    return out;
}

// --- predicates -----------------------------------------------------------

bool positive(const std::optional<double>& v) { return v && *v > 0; }

template <class Predicate>
bool anyFace(const Look& look, Predicate&& wanted) {
    return look.skinFaces && std::any_of(look.skinFaces->begin(), look.skinFaces->end(), wanted);
}

constexpr Look::FaceField basicFaceKeyList[] = {
    &Look::FaceSettings::skinRangeSmooth, &Look::FaceSettings::skinRangeTone,
    &Look::FaceSettings::skinRangeUnderEye, &Look::FaceSettings::eyeWhites,
    &Look::FaceSettings::teethWhiten, &Look::FaceSettings::skinTexture,
};

}  // namespace

std::optional<Look> decodeLook(const nlohmann::json& value) {
    try {
        Look look;
        read(value, look);
        return look;
    } catch (const Undecodable&) {
        return std::nullopt;
    }
}

nlohmann::json encodeLook(const Look& look) { return write(look); }

std::string cacheText(const Look& look) {
    // nlohmann's objects keep their keys sorted, so the dump is canonical.
    return encodeLook(look).dump();
}

bool Look::isBlackAndWhite() const { return grayscale && *grayscale >= 0.5; }

Look Look::asDeveloped() const {
    Look out = *this;
    if (isBlackAndWhite()) {
        out.vibrance.reset();
        out.saturation.reset();
        out.colorMix.reset();
    }
    return out;
}

bool Look::wantsBlemishes() const {
    return positive(skinBlemishes) || anyFace(*this, [](const FaceSettings& f) { return positive(f.skinBlemishes); });
}

bool Look::wantsSmoothing() const {
    return positive(skinSmooth) || anyFace(*this, [](const FaceSettings& f) { return positive(f.skinSmooth); });
}

bool Look::wantsTone() const {
    return positive(skinTone) || positive(skinUnderEye) ||
           anyFace(*this, [](const FaceSettings& f) { return positive(f.skinTone) || positive(f.skinUnderEye); });
}

bool Look::wantsRetouch() const { return wantsBlemishes() || wantsSmoothing() || wantsTone(); }

bool Look::wantsColorRange() const {
    if (positive(skinRangeSmooth) || positive(skinSpots) || positive(skinRangeTone) ||
        positive(skinRangeUnderEye) || positive(eyeWhites) || positive(teethWhiten))
        return true;
    if (skinSpotAdd && !skinSpotAdd->empty()) return true;
    return anyFace(*this, [](const FaceSettings& f) {
        return positive(f.skinRangeSmooth) || positive(f.skinRangeTone) || positive(f.skinRangeUnderEye) ||
               positive(f.eyeWhites) || positive(f.teethWhiten);
    });
}

bool Look::wantsDetail() const {
    return positive(sharpenAmount) || positive(noiseLuminance) || positive(noiseColor);
}

Look Look::withoutSharpening() const {
    Look out = *this;
    out.sharpenAmount.reset();
    out.sharpenRadius.reset();
    out.sharpenDetail.reset();
    out.sharpenMasking.reset();
    return out;
}

Look Look::withoutFaceValues(std::span<const FaceField> fields) const {
    Look out = *this;
    if (out.skinFaces)
        for (auto& face : *out.skinFaces)
            for (auto field : fields) (face.*field).reset();
    return out;
}

std::span<const Look::FaceField> Look::basicFaceKeys() { return basicFaceKeyList; }

Look Look::withoutSpots() const {
    Look out = withoutFaceValues(basicFaceKeys());
    out.skinRangeSmooth.reset();
    out.skinSpots.reset();
    out.skinSpotAdd.reset();
    out.skinRangeTone.reset();
    out.skinRangeUnderEye.reset();
    out.eyeWhites.reset();
    out.teethWhiten.reset();
    out.skinTexture.reset();
    return out;
}

std::optional<Look::FaceSettings> Look::faceSettings(const FaceRect& rect, double aspect) const {
    if (!skinFaces) return std::nullopt;
    const double midX = rect.x + rect.width / 2;
    const double midY = rect.y + rect.height / 2;
    const FaceSettings* best = nullptr;
    double bestDistance = 0;
    for (const auto& face : *skinFaces) {
        if (face.at.size() != 2) continue;
        const double d = std::hypot(face.at[0] - midX, aspect * (face.at[1] - midY));
        if (!(d < 0.5 * rect.width)) continue;
        if (!best || d < bestDistance) {
            best = &face;
            bestDistance = d;
        }
    }
    if (!best) return std::nullopt;
    return *best;
}

std::string shortestDecimal(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";  // n: inf and nan stay as they are
    return text;
}

}  // namespace Develop

std::size_t std::hash<Develop::Look>::operator()(const Develop::Look& look) const {
    return std::hash<std::string>{}(Develop::cacheText(look));
}
