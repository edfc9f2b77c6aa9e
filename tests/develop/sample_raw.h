#pragma once
// Small camera RAW files made at test time from the shared sample JPEGs.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "support/support.h"

namespace DevelopTests {

// A DNG made by the shared make-dng tool from a sample JPEG (a fixture name, or
// an absolute path of a JPEG made by the test), cached for the whole test
// program; nothing when the tool, its Python modules or the fixtures are
// missing. `options` are more make-dng options ("--temperature", "3500", ...).
inline std::optional<std::filesystem::path> sampleDNG(const std::string& name, double scale = 0.25, int orientation = 1,
                                                      const std::vector<std::string>& options = {}) {
    static TestSupport::TempDir* folder = new TestSupport::TempDir();  // lives until the program ends
    static std::mutex lock;
    static std::map<std::string, std::optional<std::filesystem::path>> made;
    const auto dir = TestSupport::fixturesDir();
    if (!dir) return std::nullopt;
    std::string key = name + "|" + std::to_string(scale) + "|" + std::to_string(orientation);
    for (const auto& option : options) key += "|" + option;
    std::lock_guard guard(lock);
    if (const auto it = made.find(key); it != made.end()) return it->second;
    const auto tool = *dir / ".." / "tools" / "make-dng";
    const std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const auto out = (*folder) / ("sample-" + std::to_string(made.size()) + ".dng");
    std::optional<std::filesystem::path> result;
    if (std::filesystem::exists(tool)) {
        const std::filesystem::path input = std::filesystem::path(name).is_absolute() ? std::filesystem::path(name) : TestSupport::fixture(name);
        std::vector<std::string> args{tool.string(), input.string(), out.string(), "--scale", std::to_string(scale),
                                      "--orientation", std::to_string(orientation)};
        args.insert(args.end(), options.begin(), options.end());
        const auto run = TestSupport::run(python, args);
        if (run.status == 0 && std::filesystem::exists(out)) result = out;
    }
    made[key] = result;
    return result;
}

}  // namespace DevelopTests

#define REQUIRE_SAMPLE_DNG(variable, ...)                                                  \
    REQUIRE_FIXTURES();                                                                    \
    const auto variable = ::DevelopTests::sampleDNG(__VA_ARGS__);                          \
    if (!variable) GTEST_SKIP() << "make-dng (python3 with numpy and OpenCV) is not available"
