#pragma once
// A delivered or rendered JPEG summarised in the terms that decide whether a
// render may replace a delivered file, and the final file that carries the
// delivered file's metadata and colour profile on the render's image data.

#include <cstdint>
#include <map>
#include <string>

#include "finish/folder.h"

namespace Finish {

struct DeliveryJPEG {
    // Displayed size: pixel width and height, swapped for orientations 5 to 8.
    std::int64_t width = 0;
    std::int64_t height = 0;
    // EXIF orientation, 1 when absent or not one of 1 to 8.
    int orientation = 1;
    // SHA-256 of the ICC profile (sRGB's when the file has none).
    std::string profileHash;
    // "artist", "copyright", "caption" and "keywords" (a JSON array text), each
    // only when present.
    std::map<std::string, std::string> metadata;

    bool operator==(const DeliveryJPEG&) const = default;

    // Largest picture that is fully decoded to prove it is intact.
    static constexpr std::int64_t decodeLimit = 60000000;

    // Inspects JPEG bytes: a single-frame JPEG that decodes completely within
    // the decode limit. Throws FinishFailure or JPEGColourProfile::Failure.
    static DeliveryJPEG inspect(const Bytes& bytes);

    // The render's compressed image, bit for bit, with the delivered file's
    // metadata (orientation set to 1, pixel dimensions to the displayed size)
    // and colour profile; checked to inspect like the delivered file.
    static Bytes carryingMetadata(const Bytes& source, const Bytes& rendered);
};

}  // namespace Finish
