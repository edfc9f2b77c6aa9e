#include "engine/imaging/jpeg_encoder.h"

#include <algorithm>
#include <cmath>

#include <turbojpeg.h>

namespace Imaging {

int jpegQuality(double fraction, double unset) {
    const double q = std::isfinite(fraction) ? std::clamp(fraction, 0.0, 1.0) : unset;
    return std::clamp(static_cast<int>(std::lround(q * 100.0)), 1, 100);
}

std::optional<std::vector<std::uint8_t>> encodeJPEG(const EightBitRows& rows, const JPEGEncoding& encoding) {
    if (!rows.data || rows.width <= 0 || rows.height <= 0) return std::nullopt;
    int format = 0;
    switch (rows.channels) {
        case 1: format = TJPF_GRAY; break;
        case 3: format = TJPF_RGB; break;
        case 4: format = TJPF_RGBX; break;
        default: return std::nullopt;
    }
    const int quality = std::clamp(encoding.quality, 1, 100);
    const int subsampling = rows.channels == 1 ? TJSAMP_GRAY : quality >= 90 ? TJSAMP_444 : TJSAMP_420;

    tjhandle handle = tjInitCompress();
    if (!handle) return std::nullopt;
    unsigned char* buffer = nullptr;
    unsigned long length = 0;
    const int status = tjCompress2(handle, rows.data, rows.width, static_cast<int>(rows.stride), rows.height, format,
                                   &buffer, &length, subsampling, quality, encoding.accurateDCT ? TJFLAG_ACCURATEDCT : 0);
    std::optional<std::vector<std::uint8_t>> bytes;
    if (status == 0 && buffer && length > 0) bytes.emplace(buffer, buffer + length);
    tjFree(buffer);
    tjDestroy(handle);
    return bytes;
}

std::optional<std::vector<std::uint8_t>> encodeJPEG(const Bitmap& bitmap, const JPEGEncoding& encoding) {
    if (bitmap.empty() || bitmap.pixels.size() < bitmap.stride() * static_cast<std::size_t>(bitmap.height))
        return std::nullopt;
    return encodeJPEG(EightBitRows{bitmap.pixels.data(), bitmap.width, bitmap.height, bitmap.stride(), bitmap.channels},
                      encoding);
}

}  // namespace Imaging
