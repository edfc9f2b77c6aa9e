#pragma once
// PNG files exchanged with outside programs (the portrait workers, the remove
// fill's patch folder): 8-bit pictures written tagged sRGB and grey masks
// written untagged, and pictures read back as their stored values, without
// any colour management (masks and difference images are data, not colours).

#include <filesystem>
#include <optional>
#include <string>

#include "engine/imaging/bitmap.h"
#include "engine/imaging/image.h"

namespace PNGFile {

enum class WriteResult { written, notCreated, notFinished };

// Writes an 8-bit RGBA bitmap (rows top-down, alpha not premultiplied) as a
// PNG with an sRGB chunk. notCreated when the file cannot be opened or the
// bitmap is not 8-bit RGBA; notFinished when encoding or writing fails (the
// partial file is removed).
WriteResult writeRGBA8(const std::filesystem::path& path, const Imaging::Bitmap& bitmap);

// What a PNG stores: grey (from a one-channel bitmap, no colour chunk), or RGB
// or RGBA tagged sRGB (from an RGBA bitmap; RGB leaves its alpha out).
enum class Stored { grey, rgb, rgba };
// The same for any of those layouts; notCreated also when the bitmap's
// channels do not fit `stored`.
WriteResult write(const std::filesystem::path& path, const Imaging::Bitmap& bitmap, Stored stored);

// Reads any PNG (grey, grey + alpha, palette, RGB, RGBA; 1 to 16 bits) into
// a float picture with its extent at (0, 0): samples / maximum, grey copied
// to red, green and blue, alpha 1 when the file has none. Gamma, colour
// chunks and ICC profiles are ignored. Nothing when the file is not a
// readable PNG.
std::optional<Imaging::Image> read(const std::filesystem::path& path);

// The same as an 8-bit RGBA bitmap (16-bit samples scaled to 8 bits, rounded).
std::optional<Imaging::Bitmap> readRGBA8(const std::filesystem::path& path);

}  // namespace PNGFile
