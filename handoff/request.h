#pragma once
// The handoff request written by the catalogue plug-in, its decoding and its checks.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Handoff {

// One JSON object read from the whole of standard input. Both keys are
// required; other keys are ignored.
struct Request {
    std::string applicationPath;     // the application that is to open the photos
    std::vector<std::string> paths;  // the photo files, in order
};

// A failed handoff; what() is the one-line message shown to the user.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Decodes a request. Throws Failure "Could not read Lightroom photo paths: "
// followed by what is wrong with the text.
Request decodeRequest(std::string_view text);

// Checks that there is at least one photo and that the application and every
// photo are absolute paths without a NUL character. Throws Failure
// "Lightroom requires absolute photo paths".
void checkRequest(const Request& request);

// Checks, in order, that every photo can be read by this process. Throws
// Failure "A selected original is no longer readable".
void checkReadable(const Request& request);

// The photo paths as a compact JSON array of strings (no line feed).
std::string encodePaths(const std::vector<std::string>& paths);

}  // namespace Handoff
