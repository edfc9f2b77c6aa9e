#pragma once
// The engine's JPEG encoder: 8-bit rows in, JPEG bytes out (no metadata, no
// ICC profile; jpegprofile embeds those afterwards).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/imaging/bitmap.h"

namespace Imaging {

// 8-bit samples in memory, rows `stride` bytes apart.
struct EightBitRows {
    const std::uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    std::size_t stride = 0;
    int channels = 3;  // 1 (grey), 3 (RGB) or 4 (RGB and a fourth byte that is not read)
};

struct JPEGEncoding {
    // 1-100. From 90 on the colour keeps full resolution (4:4:4); below, it is
    // halved both ways (4:2:0). Grey is grey whatever the quality.
    int quality = 85;
    // libjpeg's exact integer DCT instead of the fast one: slower, a little
    // closer to the pixels. Renders use it; previews do not.
    bool accurateDCT = false;
};

// The quality level (1-100) of a quality given as a fraction (0-1, clamped);
// `unset` stands in for a value that is not a number.
int jpegQuality(double fraction, double unset);

// Nothing when the rows are empty or libjpeg-turbo refuses them.
std::optional<std::vector<std::uint8_t>> encodeJPEG(const EightBitRows& rows, const JPEGEncoding& encoding);
// The same for a bitmap (alpha is not read).
std::optional<std::vector<std::uint8_t>> encodeJPEG(const Bitmap& bitmap, const JPEGEncoding& encoding);

}  // namespace Imaging
