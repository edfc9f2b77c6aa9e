#pragma once
// The one-line JSON request that starts every finisher step.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "finish/records.h"

namespace Finish {

// A request that does not decode; what() says why.
struct RequestDecodingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct FinishRequest {
    std::string command;
    std::string folder;
    std::string name;
    std::optional<FileIdentity> folderIdentity;
    std::optional<std::string> temporary;
    std::optional<FileSnapshot> source;
    std::optional<FileSnapshot> output;
    std::optional<std::string> work;
    std::optional<FileIdentity> workIdentity;
    std::optional<std::string> lockFolder;
    std::optional<std::string> lockName;

    // Decodes one JSON object; `command`, `folder` and `name` are required,
    // the other keys may be absent or null, unknown keys are ignored.
    // Throws RequestDecodingError.
    static FinishRequest decode(std::string_view line);
};

}  // namespace Finish
