#pragma once
// JPEG decoding with DCT-domain scaling for the photo library (the encoder is
// the imaging core's, engine/imaging/jpeg_encoder.h).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

#include "engine/imaging/bitmap.h"

namespace Extraction {

struct DecodedJPEG {
    Imaging::Bitmap bitmap;  // 8-bit RGB
    int fullWidth = 0;       // the stored size before DCT scaling (and before turning)
    int fullHeight = 0;
    // False when the data ended early or was damaged and the decoder filled
    // in what was missing; a harmless stray byte before a marker does not count.
    bool complete = true;
};

// Decodes JPEG data. With maxPixel > 0 the decoder scales in the DCT domain by the
// smallest factor n/8 whose long edge is still at least maxPixel; with 0 it decodes
// at full size. With an EXIF orientation (2-8) the rows are placed turned upright
// as they are decoded (as applyOrientation would turn them), so that no second
// full-size picture is ever held. Nothing when the data is not a decodable JPEG.
std::optional<DecodedJPEG> decodeJPEG(const std::uint8_t* data, std::size_t size, int maxPixel, int orientation = 1);

// The pixel size stored in the JPEG header, without decoding.
std::optional<std::pair<int, int>> jpegSize(const std::uint8_t* data, std::size_t size);

// The whole content of a file, nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::filesystem::path& file);

}  // namespace Extraction
