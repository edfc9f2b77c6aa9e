#pragma once
// Helpers for the finisher's tests: small JPEGs with metadata and profiles,
// requests, and a lacquer process that can be talked to line by line.

#include <sys/types.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "finish/folder.h"
#include "support/support.h"

namespace FinishTest {

using Bytes = Finish::Bytes;
using nlohmann::json;

struct PictureMetadata {
    int orientation = 0;  // 0: no orientation tag
    std::string artist, copyright, caption;
    std::vector<std::string> keywords;
};

// A width × height JPEG whose pixels depend on `seed`, with the given metadata
// and ICC profile (none when empty).
Bytes makeJPEG(int width, int height, int seed, const PictureMetadata& metadata = {}, const Bytes& icc = {});

// An RGB profile that differs from sRGB (wide-gamut primaries, gamma `gamma`).
Bytes wideProfile(double gamma = 2.2);
// A grey profile (not usable for a delivery).
Bytes greyProfile();

Bytes bytesOf(const std::string& text);
std::string textOf(const Bytes& bytes);
Bytes readBytes(const std::filesystem::path& path);
void writeBytes(const std::filesystem::path& path, const Bytes& bytes);

// The compressed image from the first start-of-scan marker to the end.
Bytes scanData(const Bytes& jpeg);

// A well-formed temporary or working-directory name.
std::string temporaryName();
std::string workName();

// A request line for `command` with folder and name plus `fields`.
json request(const std::string& command, const std::filesystem::path& folder, const std::string& name,
             const json& fields = json::object());

struct Reply {
    int status = -1;
    std::vector<json> lines;  // every reply line, parsed
    std::string out;
    const json& last() const { return lines.back(); }
};

// Runs lacquer once with the request and any further input lines.
Reply runLacquer(const json& request, const std::vector<std::string>& moreLines = {});

// The error reply {"error": message, "ok": false}.
json errorReply(const std::string& message);

// A lacquer process fed line by line.
class Lacquer {
public:
    explicit Lacquer(const json& request);
    ~Lacquer();
    Lacquer(const Lacquer&) = delete;
    Lacquer& operator=(const Lacquer&) = delete;

    // The next reply line, waiting up to 20 seconds; nothing at the end of output.
    std::optional<json> reply();
    void send(const std::string& line);
    void closeInput();
    // Kills the process with SIGKILL and reaps it.
    void kill();
    // Waits for the exit status.
    int wait();

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string pending_;
    int status_ = -1;
};

}  // namespace FinishTest
