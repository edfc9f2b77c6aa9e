#include "handoff/request.h"

#include <unistd.h>

#include <algorithm>

#include <nlohmann/json.hpp>

namespace Handoff {

namespace {

using Json = nlohmann::json;

[[noreturn]] void unreadable(const std::string& description) {
    throw Failure("Could not read Lightroom photo paths: " + description);
}

const Json& member(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) unreadable(std::string("the key \"") + key + "\" is missing");
    return *found;
}

bool absolute(const std::string& path) {
    return !path.empty() && path.front() == '/' && path.find('\0') == std::string::npos;
}

}  // namespace

Request decodeRequest(std::string_view text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }))
        unreadable("the input is empty");

    Json json;
    try {
        json = Json::parse(text);
    } catch (const Json::parse_error& error) {
        unreadable("the data is not valid JSON (error at byte " + std::to_string(error.byte) + ")");
    }
    if (!json.is_object()) unreadable("the data is not a JSON object");

    Request request;
    const Json& application = member(json, "applicationPath");
    if (!application.is_string()) unreadable("the value of \"applicationPath\" is not a string");
    request.applicationPath = application.get<std::string>();

    const Json& paths = member(json, "paths");
    if (!paths.is_array()) unreadable("the value of \"paths\" is not a list");
    for (size_t index = 0; index < paths.size(); ++index) {
        if (!paths[index].is_string())
            unreadable("item " + std::to_string(index + 1) + " of \"paths\" is not a string");
        request.paths.push_back(paths[index].get<std::string>());
    }
    return request;
}

void checkRequest(const Request& request) {
    // The application path is held to the same rule as the photos: a NUL would
    // silently cut it short and start some other program.
    bool valid = !request.paths.empty() && absolute(request.applicationPath) &&
                 std::all_of(request.paths.begin(), request.paths.end(), absolute);
    if (!valid) throw Failure("Lightroom requires absolute photo paths");
}

void checkReadable(const Request& request) {
    for (const auto& path : request.paths) {
        if (::access(path.c_str(), R_OK) != 0) throw Failure("A selected original is no longer readable");
    }
}

std::string encodePaths(const std::vector<std::string>& paths) {
    // Written like the platform's JSON serialiser: "/" as "\/". A "/" can only
    // occur inside a string of the compact text, so escaping each one is exact.
    const std::string compact = Json(paths).dump();
    std::string text;
    text.reserve(compact.size() + 8);
    for (char c : compact) {
        if (c == '/') text.push_back('\\');
        text.push_back(c);
    }
    return text;
}

}  // namespace Handoff
