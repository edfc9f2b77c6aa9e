#include "finish/request.h"

#include <limits>

#include <nlohmann/json.hpp>

namespace Finish {

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& path, const std::string& expected) {
    throw RequestDecodingError("The delivery request's \"" + path + "\" must be " + expected);
}

const json* member(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() || it->is_null() ? nullptr : &*it;
}

std::string text(const json& value, const std::string& path) {
    if (!value.is_string()) fail(path, "text");
    return value.get<std::string>();
}

std::uint64_t unsigned64(const json& value, const std::string& path) {
    if (!value.is_number_unsigned()) fail(path, "an unsigned 64-bit integer");
    return value.get<std::uint64_t>();
}

std::int64_t signed64(const json& value, const std::string& path) {
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > std::uint64_t(std::numeric_limits<std::int64_t>::max())) fail(path, "a 64-bit integer");
        return std::int64_t(n);
    }
    if (!value.is_number_integer()) fail(path, "a 64-bit integer");
    return value.get<std::int64_t>();
}

const json& required(const json& object, const char* key, const std::string& path) {
    const json* value = member(object, key);
    if (!value) throw RequestDecodingError("The delivery request is missing \"" + path + "\"");
    return *value;
}

FileIdentity identity(const json& value, const std::string& path) {
    if (!value.is_object()) fail(path, "an object");
    return {unsigned64(required(value, "device", path + ".device"), path + ".device"),
            unsigned64(required(value, "inode", path + ".inode"), path + ".inode")};
}

FileSnapshot snapshot(const json& value, const std::string& path) {
    if (!value.is_object()) fail(path, "an object");
    return {identity(required(value, "identity", path + ".identity"), path + ".identity"),
            text(required(value, "hash", path + ".hash"), path + ".hash"),
            signed64(required(value, "size", path + ".size"), path + ".size")};
}

template <typename T, typename Decode>
std::optional<T> optional(const json& object, const char* key, Decode decode) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    return decode(*value, std::string(key));
}

}  // namespace

FinishRequest FinishRequest::decode(std::string_view line) {
    // JSON text never holds a raw NUL byte, and the parser would take one for
    // the end of its input and ignore whatever follows.
    if (line.find('\0') != std::string_view::npos) throw RequestDecodingError("The delivery request is not valid JSON");
    const json value = json::parse(line.begin(), line.end(), nullptr, false);
    if (value.is_discarded()) throw RequestDecodingError("The delivery request is not valid JSON");
    if (!value.is_object()) throw RequestDecodingError("The delivery request must be a JSON object");

    FinishRequest request;
    request.command = text(required(value, "command", "command"), "command");
    request.folder = text(required(value, "folder", "folder"), "folder");
    request.name = text(required(value, "name", "name"), "name");
    request.folderIdentity = optional<FileIdentity>(value, "folderIdentity", identity);
    request.temporary = optional<std::string>(value, "temporary", text);
    request.source = optional<FileSnapshot>(value, "source", snapshot);
    request.output = optional<FileSnapshot>(value, "output", snapshot);
    request.work = optional<std::string>(value, "work", text);
    request.workIdentity = optional<FileIdentity>(value, "workIdentity", identity);
    request.lockFolder = optional<std::string>(value, "lockFolder", text);
    request.lockName = optional<std::string>(value, "lockName", text);
    return request;
}

}  // namespace Finish
