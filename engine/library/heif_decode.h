#pragma once
// Decoding HEIF pictures quickly for previews: the decoder plugin to use, and a
// decoded YCbCr picture brought down to preview size before it is turned into
// RGB (libheif's own RGB conversion of a 12-megapixel picture costs more than a
// third of its decode). Private to the photo library.

#include <array>
#include <cstdint>
#include <optional>

#include <libheif/heif.h>

#include "engine/imaging/bitmap.h"

namespace Extraction {

// The luma weights of a YCbCr encoding and whether it uses the full 0-255 range.
struct YCbCrMatrix {
    double kr = 0.299;
    double kb = 0.114;
    bool fullRange = true;
};

// The matrix for an ITU-T H.273 matrix_coefficients code (1 BT.709, 5 and 6
// BT.601, 9 BT.2020 non-constant, 2 unspecified: BT.601); nothing for the codes
// this conversion does not cover (identity, constant luminance, ICtCp, ...).
std::optional<YCbCrMatrix> ycbcrMatrix(int matrixCoefficients, bool fullRange);

// One pixel from 8-bit Y, Cb, Cr to 8-bit R, G, B.
std::array<std::uint8_t, 3> rgbFromYCbCr(int y, int cb, int cr, const YCbCrMatrix& matrix);

// The id name of the fastest HEVC decoder plugin installed (FFmpeg's, else
// libheif's default choice: nothing).
const char* fastHevcDecoder();

// A decoded 8-bit YCbCr picture (any chroma subsampling) reduced by area averaging
// to width x height, each plane on its own, then turned into RGB. Nothing when the
// picture is not 8-bit YCbCr or its encoding is not one ycbcrMatrix covers.
std::optional<Imaging::Bitmap> reducedRGB(const heif_image* image, int width, int height);

}  // namespace Extraction
