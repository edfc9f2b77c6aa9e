#pragma once
// Helpers for the photo library tests: sample files made at run time.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/imaging/bitmap.h"
#include "support/support.h"

namespace LibraryTest {

// Runs the shared make-dng tool (a Bayer DNG with the JPEG embedded as its
// preview); nothing when the tool or its Python modules are missing.
inline std::optional<std::filesystem::path> makeDNG(const std::filesystem::path& jpeg,
                                                    const std::filesystem::path& out,
                                                    const std::vector<std::string>& options = {}) {
    auto dir = TestSupport::fixturesDir();
    if (!dir) return std::nullopt;
    std::filesystem::path tool = *dir / ".." / "tools" / "make-dng";
    if (!std::filesystem::exists(tool)) return std::nullopt;
    std::vector<std::string> args{jpeg.string(), out.string()};
    args.insert(args.end(), options.begin(), options.end());
    auto result = TestSupport::run(tool, args);
    if (result.status != 0 || !std::filesystem::exists(out)) return std::nullopt;
    return out;
}

// A picture with a recognisable layout: a horizontal gradient in red, a vertical
// one in green, and a bright block in the top-left corner.
inline Imaging::Bitmap testPattern(int width, int height, int channels = 3) {
    Imaging::Bitmap b(width, height, channels);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = b.row(y) + x * channels;
            bool corner = x < width / 4 && y < height / 4;
            std::uint8_t values[4] = {static_cast<std::uint8_t>(255 * x / std::max(1, width - 1)),
                                      static_cast<std::uint8_t>(255 * y / std::max(1, height - 1)),
                                      static_cast<std::uint8_t>(corner ? 255 : 40), 255};
            if (channels == 1) {
                p[0] = values[0];
            } else {
                for (int c = 0; c < channels; ++c) p[c] = values[c];
            }
        }
    }
    return b;
}

// Mean absolute difference of two pictures of the same size and channels (255 when they differ in size).
inline double meanDifference(const Imaging::Bitmap& a, const Imaging::Bitmap& b) {
    if (a.width != b.width || a.height != b.height || a.channels != b.channels) return 255.0;
    double sum = 0;
    for (std::size_t i = 0; i < a.pixels.size(); ++i) sum += std::abs(int(a.pixels[i]) - int(b.pixels[i]));
    return a.pixels.empty() ? 0.0 : sum / a.pixels.size();
}

}  // namespace LibraryTest
