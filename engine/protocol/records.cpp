#include "engine/protocol/records.h"

#include <cmath>
#include <limits>

namespace Protocol {

namespace {

using json = nlohmann::json;
using ordered_json = nlohmann::ordered_json;

// Thrown inside decodeRequest when a field has the wrong type; never escapes.
struct WrongType {};

// A JSON number whose value is a whole number that fits a signed 64-bit
// integer. 3 and 3.0 qualify; 3.5, 1e30 and "3" do not.
std::optional<std::int64_t> exactInteger(const json& value) {
    if (value.is_number_unsigned()) {
        auto v = value.get<std::uint64_t>();
        if (v > std::uint64_t(std::numeric_limits<std::int64_t>::max())) return std::nullopt;
        return std::int64_t(v);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^63 itself is out of range; every double below it converts exactly.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -0x1p63 || d >= 0x1p63) return std::nullopt;
        return std::int64_t(d);
    }
    return std::nullopt;
}

// The value under `key`, or nothing when the key is missing or null.
const json* field(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::optional<std::int64_t> integerField(const json& object, const char* key) {
    const json* value = field(object, key);
    if (!value) return std::nullopt;
    if (auto v = exactInteger(*value)) return v;
    throw WrongType{};
}

std::optional<std::string> textField(const json& object, const char* key) {
    const json* value = field(object, key);
    if (!value) return std::nullopt;
    if (!value->is_string()) throw WrongType{};
    return value->get<std::string>();
}

std::optional<double> doubleField(const json& object, const char* key) {
    const json* value = field(object, key);
    if (!value) return std::nullopt;
    if (!value->is_number()) throw WrongType{};
    return value->get<double>();
}

std::optional<bool> boolField(const json& object, const char* key) {
    const json* value = field(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) throw WrongType{};
    return value->get<bool>();
}

bool switchField(const json& object, const char* key) { return boolField(object, key).value_or(false); }

template <typename T>
void put(ordered_json& object, const char* key, const std::optional<T>& value) {
    if (value) object[key] = *value;
}

}  // namespace

std::optional<Request> decodeRequest(std::string_view line) {
    // The JSON reader stops at a NUL byte as if the text ended there; a raw NUL is
    // never valid JSON, so such a line is refused whatever comes before it.
    if (line.find('\0') != std::string_view::npos) return std::nullopt;
    json object = json::parse(line.begin(), line.end(), nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) return std::nullopt;
    try {
        Request request;
        auto id = integerField(object, "id");
        auto src = textField(object, "src");
        if (!id || !src) return std::nullopt;
        request.id = *id;
        request.src = std::move(*src);
        request.out = textField(object, "out");
        request.max = integerField(object, "max");
        request.quality = doubleField(object, "quality");
        request.fp = switchField(object, "fp");
        request.analysis = switchField(object, "analysis");
        request.gen = integerField(object, "gen");
        request.develop = switchField(object, "develop");
        if (const json* look = field(object, "look")) {
            request.look = Develop::decodeLook(*look);
            if (!request.look) return std::nullopt;
        }
        request.interactive = switchField(object, "interactive");
        request.live = switchField(object, "live");
        request.skinMaskOverlay = switchField(object, "skinMaskOverlay");
        request.urgent = switchField(object, "urgent");
        request.preserveJPEGProfile = switchField(object, "preserveJPEGProfile");
        if (auto fd = integerField(object, "deliveryOutputFD")) {
            if (*fd < std::numeric_limits<std::int32_t>::min() || *fd > std::numeric_limits<std::int32_t>::max())
                return std::nullopt;
            request.deliveryOutputFD = std::int32_t(*fd);
        }
        request.transform = boolField(object, "transform").value_or(true);
        request.faces = switchField(object, "faces");
        return request;
    } catch (const WrongType&) {
        return std::nullopt;
    } catch (const std::exception&) {
        // A look decoder that throws on a malformed value rejects the line too.
        return std::nullopt;
    }
}

ordered_json toJSON(const Result& result) {
    ordered_json object = ordered_json::object();
    object["id"] = result.id;
    put(object, "gen", result.gen);
    object["ok"] = result.ok;
    put(object, "file", result.file);
    put(object, "rawW", result.rawW);
    put(object, "rawH", result.rawH);
    put(object, "previewW", result.previewW);
    put(object, "previewH", result.previewH);
    put(object, "bytes", result.bytes);
    put(object, "shotAt", result.shotAt);
    put(object, "camera", result.camera);
    put(object, "cameraSerial", result.cameraSerial);
    put(object, "lens", result.lens);
    put(object, "focalLength", result.focalLength);
    put(object, "exposureTime", result.exposureTime);
    put(object, "aperture", result.aperture);
    put(object, "iso", result.iso);
    put(object, "orientation", result.orientation);
    put(object, "out", result.out);
    put(object, "cameraTemperature", result.cameraTemperature);
    put(object, "cameraTint", result.cameraTint);
    put(object, "blemishSpots", result.blemishSpots);
    put(object, "faces", result.faces);
    put(object, "fp", result.fp);
    if (result.analysis) object["analysis"] = Extraction::toJSON(*result.analysis);
    object["ms"] = result.ms;
    put(object, "error", result.error);
    return object;
}

ordered_json toJSON(const ListLine& line) {
    ordered_json object = ordered_json::object();
    object["index"] = line.index;
    object["path"] = line.path;
    object["name"] = line.name;
    object["label"] = line.label;
    return object;
}

ordered_json toJSON(const Extraction::Survey& survey) {
    ordered_json folders = ordered_json::array();
    for (const auto& folder : survey.folders) {
        ordered_json record = ordered_json::object();
        record["name"] = folder.name;
        record["photos"] = folder.photos;
        record["videos"] = folder.videos;
        folders.push_back(std::move(record));
    }
    ordered_json object = ordered_json::object();
    object["photosHere"] = survey.photosHere;
    object["videosHere"] = survey.videosHere;
    object["photosNested"] = survey.photosNested;
    object["videosNested"] = survey.videosNested;
    object["folders"] = std::move(folders);
    object["truncated"] = survey.truncated;
    return object;
}

}  // namespace Protocol
