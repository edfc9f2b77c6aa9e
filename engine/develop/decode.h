#pragma once
// Decoding a photo file into the working picture of the develop pipeline:
// linear sRGB floats, upright, of the size a render asks for, with the look's
// white balance in it.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "engine/develop/look.h"
#include "engine/imaging/image.h"

namespace Develop {

struct Decoded {
    Imaging::Image image;                    // linear, orientation applied
    bool extended = false;                   // from the RAW decoder; values may exceed 1.0
    std::optional<double> cameraTemperature; // as-shot neutral in kelvin (RAW only)
    std::optional<double> cameraTint;        // as-shot tint (RAW only)
    double detailScale = 1;                  // size relative to the full-size photo
    // With a sample edge asked for: the as-shot picture at that long edge,
    // the same as `decode(file, Look{}, sampleEdge).image`, when this decode
    // makes it from its own RAW data (a half-size decode as shot, where the
    // sample is half-size too); nothing otherwise.
    std::optional<Imaging::Image> sample;
};

// Identity of a cached decode.
struct DecodeKey {
    std::string path;
    int longEdge = 0;
    double temperature = 0;
    double tint = 0;
    bool operator==(const DecodeKey&) const = default;
};

struct DecodeKeyHash {
    std::size_t operator()(const DecodeKey& key) const;
};

// Decodes without any cache; nothing when the file cannot be decoded.
// `sampleEdge` (0: none) asks for `Decoded::sample` beside the picture.
std::optional<Decoded> decode(const std::filesystem::path& file, const Look& look, int longEdge, int sampleEdge = 0);
// The rendered-file (JPEG, HEIC) path of decode.
std::optional<Decoded> decodeRendered(const std::filesystem::path& file, const Look& look, int longEdge);
// decode through the two-entry cache, materialised.
// (A cached decode keeps the sample it was made with, if any.)
std::optional<Decoded> decodeForEditing(const std::filesystem::path& file, const Look& look, int longEdge, int sampleEdge = 0);
// For live white-balance previews: the cached as-shot decode corrected by a
// cheap white-balance filter.
std::optional<Decoded> liveDecode(const std::filesystem::path& file, const Look& look, int longEdge, int sampleEdge = 0);
// The record with its pixels held in memory of their own.
std::optional<Decoded> materialised(const Decoded& decoded);

// How many decodes the cache holds now (for tests and diagnostics).
std::size_t decodeCacheSize();
// True when the cache holds a decode for this key.
bool decodeCached(const DecodeKey& key);

// The RAW scale factor for a requested long edge: 1 for full size, otherwise
// the single-precision ratio stepped one unit in the last place downwards.
double rawScaleFactor(int longEdge, int nativeLongSide);

}  // namespace Develop
