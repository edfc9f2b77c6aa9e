#pragma once
// An 8-bit picture in memory: rows top-down, samples interleaved.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Imaging {

struct Bitmap {
    int width = 0;
    int height = 0;
    int channels = 3;  // 1 (grey), 3 (RGB) or 4 (RGBA)
    std::vector<std::uint8_t> pixels;

    Bitmap() = default;
    Bitmap(int w, int h, int c) : width(w), height(h), channels(c), pixels(std::size_t(w) * h * c) {}

    std::size_t stride() const { return std::size_t(width) * channels; }
    std::uint8_t* row(int y) { return pixels.data() + std::size_t(y) * stride(); }
    const std::uint8_t* row(int y) const { return pixels.data() + std::size_t(y) * stride(); }
    bool empty() const { return width <= 0 || height <= 0; }
};

}  // namespace Imaging
