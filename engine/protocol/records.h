#pragma once
// The engine's wire records: a Request read from one input line, the Result
// written for it, and the lines of the one-shot `list` and `scan` commands.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/develop/look.h"
#include "engine/library/analysis.h"
#include "engine/library/extraction.h"

namespace Protocol {

// One request of the serve loop. Boolean switches are set only by a JSON
// `true`; absent and `null` fields keep the defaults below.
struct Request {
    std::int64_t id = 0;
    std::string src;
    std::optional<std::string> out;
    std::optional<std::int64_t> max;
    std::optional<double> quality;
    bool fp = false;
    bool analysis = false;
    std::optional<std::int64_t> gen;
    bool develop = false;
    std::optional<Develop::Look> look;
    bool interactive = false;
    bool live = false;
    bool skinMaskOverlay = false;
    bool urgent = false;
    bool preserveJPEGProfile = false;
    std::optional<std::int32_t> deliveryOutputFD;
    bool transform = true;  // absent counts as true
    bool faces = false;
};

// Decodes one input line. Nothing when the line is not a JSON object, lacks
// `id` or `src`, or any known key holds a value of the wrong type.
std::optional<Request> decodeRequest(std::string_view line);

using Spots = std::vector<std::vector<double>>;

// The answer to one request. Absent fields are left out of the JSON object.
struct Result {
    std::int64_t id = 0;
    std::optional<std::int64_t> gen;
    bool ok = false;
    std::optional<std::string> file;
    std::optional<std::int64_t> rawW;
    std::optional<std::int64_t> rawH;
    std::optional<std::int64_t> previewW;
    std::optional<std::int64_t> previewH;
    std::optional<std::int64_t> bytes;
    std::optional<std::string> shotAt;
    std::optional<std::string> camera;
    std::optional<std::string> cameraSerial;
    std::optional<std::string> lens;
    std::optional<double> focalLength;
    std::optional<double> exposureTime;
    std::optional<double> aperture;
    std::optional<std::int64_t> iso;
    std::optional<std::int64_t> orientation;
    std::optional<std::string> out;
    std::optional<double> cameraTemperature;
    std::optional<double> cameraTint;
    std::optional<Spots> blemishSpots;
    std::optional<Spots> faces;
    std::optional<std::string> fp;
    std::optional<Extraction::LocalAnalysis> analysis;
    double ms = 0;
    std::optional<std::string> error;
};

nlohmann::ordered_json toJSON(const Result& result);

// One line of `list`: every key is always written.
struct ListLine {
    std::int64_t index = 0;
    std::string path;   // absolute path of the file
    std::string name;   // path relative to the listed folder
    std::string label;  // file name
};

nlohmann::ordered_json toJSON(const ListLine& line);

// The one line of `scan`.
nlohmann::ordered_json toJSON(const Extraction::Survey& survey);

}  // namespace Protocol
