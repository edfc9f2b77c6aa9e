#pragma once
// Small camera RAW files made at test time from the shared sample JPEGs.

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "support/support.h"

namespace DevelopTests {

// A DNG made by the shared make-dng tool from a sample JPEG, cached for the
// whole test program; nothing when the tool, its Python modules or the
// fixtures are missing.
inline std::optional<std::filesystem::path> sampleDNG(const std::string& name, double scale = 0.25, int orientation = 1) {
    static TestSupport::TempDir* folder = new TestSupport::TempDir();  // lives until the program ends
    static std::mutex lock;
    static std::map<std::string, std::optional<std::filesystem::path>> made;
    const auto dir = TestSupport::fixturesDir();
    if (!dir) return std::nullopt;
    const std::string key = name + "|" + std::to_string(scale) + "|" + std::to_string(orientation);
    std::lock_guard guard(lock);
    if (const auto it = made.find(key); it != made.end()) return it->second;
    const auto tool = *dir / ".." / "tools" / "make-dng";
    const std::string python = std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const auto out = (*folder) / ("sample-" + std::to_string(made.size()) + ".dng");
    std::optional<std::filesystem::path> result;
    if (std::filesystem::exists(tool)) {
        const auto run = TestSupport::run(python, {tool.string(), TestSupport::fixture(name).string(), out.string(), "--scale",
                                                   std::to_string(scale), "--orientation", std::to_string(orientation)});
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
