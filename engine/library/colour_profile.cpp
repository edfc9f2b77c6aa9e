// The colour space a photo file's pictures are in, as an ICC profile: a JPEG's
// own profile, a HEIF file's (its ICC profile, or one made from its nclx
// primaries and tone curve), or Adobe RGB where the EXIF colour space says so.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <libheif/heif.h>

#include "engine/imaging/colour_spaces.h"
#include "engine/library/source_exiv2.h"
#include "engine/library/source_state.h"
#include "jpegprofile/jpegprofile.h"

namespace Extraction {

namespace {

using Bytes = std::vector<std::uint8_t>;

// Bytes [0, end) of the file, fewer when it is shorter.
bool readInto(int fd, Bytes& bytes, std::size_t end) {
    std::size_t done = bytes.size();
    bytes.resize(end);
    while (done < end) {
        ssize_t got = ::pread(fd, bytes.data() + done, end - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return true;
}

// The segments of a JPEG file before its first scan (where its ICC profile
// lives), read without the compressed picture. A file that ends or breaks off
// inside its header gives what there is; the profile reader judges it.
std::optional<Bytes> jpegHeader(const std::filesystem::path& file) {
    constexpr std::size_t step = 64 * 1024, limit = 32u << 20;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Bytes bytes;
    bool failed = false;
    // Whether bytes [0, end) are held (read further when the file has them).
    const auto have = [&](std::size_t end) {
        if (end <= bytes.size()) return true;
        if (end > limit || failed) return false;
        if (!readInto(fd, bytes, std::max(end, bytes.size() + step))) failed = true;
        return end <= bytes.size();
    };
    std::size_t at = 2;
    while (have(at + 1) && bytes[at] == 0xFF) {
        std::size_t code = at;
        while (have(code + 1) && bytes[code] == 0xFF) ++code;
        if (!have(code + 1)) break;
        const std::uint8_t marker = bytes[code];
        if (marker == 0xDA || marker == 0xD9) {
            bytes.resize(code + 1);
            break;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at = code + 1;
            continue;
        }
        if (!have(code + 3)) break;
        const std::size_t end = code + 1 + (std::size_t(bytes[code + 1]) << 8 | bytes[code + 2]);
        if (!have(end)) break;
        at = end;
    }
    ::close(fd);
    if (failed || bytes.empty()) return std::nullopt;
    return bytes;
}

// The profile of a JPEG's own ICC chunks; empty for sRGB, none or a profile
// that is not RGB.
Bytes jpegProfile(const std::filesystem::path& file) {
    auto header = jpegHeader(file);
    if (!header) return {};
    try {
        Bytes icc = JPEGColourProfile::source(*header).icc;
        if (icc == JPEGColourProfile::sRGBProfile()) return {};  // no profile in the file
        return ColourSpaces::isSRGB(icc) ? Bytes{} : icc;
    } catch (...) {
        return {};
    }
}

// Adobe RGB when the EXIF colour space is "uncalibrated" and the
// interoperability index names the Adobe RGB option ("R03"), as cameras
// record it for JPEGs and previews taken in Adobe RGB.
bool exifSaysAdobeRGB(const Source::State& state) {
    if (!state.exiv) return false;
    std::lock_guard lock(state.exivLock);
    try {
        const Exiv2::ExifData& exif = state.exiv->exifData();
        auto space = exif.findKey(Exiv2::ExifKey("Exif.Photo.ColorSpace"));
        auto index = exif.findKey(Exiv2::ExifKey("Exif.Iop.InteroperabilityIndex"));
        if (space == exif.end() || index == exif.end() || space->count() < 1) return false;
        return space->toLong(0) == 0xFFFF && index->toString().rfind("R03", 0) == 0;
    } catch (...) {
        return false;
    }
}

// A profile for nclx values: primaries from libheif's chromaticities, the tone
// curve by its code. Empty for sRGB (and for codes that leave it unsaid).
Bytes nclxProfile(const HeifColour& colour) {
    const bool unsaidPrimaries = colour.primaries == 1 || colour.primaries == 2;
    ColourSpaces::ToneCurve curve = ColourSpaces::sRGBCurve;
    switch (colour.transfer) {
        case 2:   // unspecified
        case 13:  // IEC 61966-2-1 (sRGB)
            if (unsaidPrimaries) return {};
            break;
        case 1:   // BT.709
        case 6:   // BT.601
        case 14:  // BT.2020
        case 15:
            curve = {1 / 0.45, 1 / 1.099, 0.099 / 1.099, 1 / 4.5, 0.081};
            break;
        case 4: curve = {2.2, 1, 0, 0, 0}; break;
        case 5: curve = {2.8, 1, 0, 0, 0}; break;
        case 8: curve = {1, 1, 0, 0, 0}; break;
        default:
            // Curves no ICC version 2 profile describes (PQ, HLG, logarithmic):
            // the pictures are shown as sRGB-encoded, as before.
            if (unsaidPrimaries) return {};
            break;
    }
    const ColourSpaces::Chromaticities primaries{{colour.xy[0], colour.xy[1]},
                                                 {colour.xy[2], colour.xy[3]},
                                                 {colour.xy[4], colour.xy[5]},
                                                 {colour.xy[6], colour.xy[7]}};
    for (double v : colour.xy)
        if (!(v > 0 && v < 1)) return {};
    Bytes icc = ColourSpaces::rgbProfile(primaries, curve,
                                         "nclx " + std::to_string(colour.primaries) + "/" + std::to_string(colour.transfer));
    return ColourSpaces::isSRGB(icc) ? Bytes{} : icc;
}

}  // namespace

std::optional<HeifColour> heifColourOf(heif_image_handle* handle) {
    HeifColour colour;
    switch (heif_image_handle_get_color_profile_type(handle)) {
        case heif_color_profile_type_prof:
        case heif_color_profile_type_rICC: {
            const std::size_t size = heif_image_handle_get_raw_color_profile_size(handle);
            if (size == 0 || size > (64u << 20)) return std::nullopt;
            colour.icc.resize(size);
            if (heif_image_handle_get_raw_color_profile(handle, colour.icc.data()).code != heif_error_Ok)
                return std::nullopt;
            return colour;
        }
        case heif_color_profile_type_nclx: {
            heif_color_profile_nclx* nclx = nullptr;
            if (heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok || !nclx)
                return std::nullopt;
            colour.primaries = nclx->color_primaries;
            colour.transfer = nclx->transfer_characteristics;
            colour.xy = {nclx->color_primary_red_x,   nclx->color_primary_red_y,   nclx->color_primary_green_x,
                         nclx->color_primary_green_y, nclx->color_primary_blue_x,  nclx->color_primary_blue_y,
                         nclx->color_primary_white_x, nclx->color_primary_white_y};
            heif_nclx_color_profile_free(nclx);
            return colour;
        }
        default: return std::nullopt;
    }
}

std::vector<std::uint8_t> colourProfile(const Source& source) {
    if (!source.state) return {};
    const Source::State& state = *source.state;
    try {
        switch (state.kind) {
            case SourceKind::jpeg:
                if (Bytes icc = jpegProfile(state.file); !icc.empty()) return icc;
                break;
            case SourceKind::heif:
                if (state.heifColour) {
                    if (!state.heifColour->icc.empty()) {
                        const Bytes& icc = state.heifColour->icc;
                        if (ColourSpaces::isUsableRGB(icc) && !ColourSpaces::isSRGB(icc)) return icc;
                        return {};
                    }
                    return nclxProfile(*state.heifColour);
                }
                break;
            case SourceKind::raw: break;
        }
        if (exifSaysAdobeRGB(state)) return ColourSpaces::adobeRGBProfile();
    } catch (...) {
    }
    return {};
}

}  // namespace Extraction
