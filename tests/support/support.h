#pragma once
// Helpers for tests: sample photo locations, temporary folders and child processes.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace TestSupport {

// The shared sample photos (../shared/fixtures beside the repository), or
// nothing when they are not there.
std::optional<std::filesystem::path> fixturesDir();

// The path of one shared sample photo, relative to the fixtures folder.
std::filesystem::path fixture(const std::string& relative);

// Built programs.
std::filesystem::path gelatin();
std::filesystem::path lacquer();
std::filesystem::path ferry();

// The repository's own folder (samples/, scripts/ …).
std::filesystem::path sourceDir();

// A fresh folder that is removed with everything in it when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

struct ProcessResult {
    int status = -1;      // exit status, or 128 + signal number
    std::string out;      // everything written to standard output
    std::string err;      // everything written to standard error
};

// Runs a program with arguments, feeding `input` to its standard input, and
// waits for it. `env` entries ("NAME=value") are added to the environment.
ProcessResult run(const std::filesystem::path& program, const std::vector<std::string>& args,
                  const std::string& input = {}, const std::vector<std::string>& env = {});

// Splits text into its lines (without the line feeds); a final empty piece is dropped.
std::vector<std::string> lines(const std::string& text);

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace TestSupport

// Skips the current test when the shared sample photos are absent.
#define REQUIRE_FIXTURES()                                                  \
    do {                                                                    \
        if (!::TestSupport::fixturesDir())                                  \
            GTEST_SKIP() << "shared sample photos are not available";       \
    } while (0)
