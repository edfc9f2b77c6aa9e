#pragma once
// The ICC colour profile of a JPEG: read from its APP2 "ICC_PROFILE" chunks,
// checked to be an RGB profile, and embedded into other JPEG bytes.
//
// Everything here works on whole files held in memory and never decodes image
// data. All functions are pure and safe to call from several threads.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

namespace JPEGColourProfile {

using Bytes = std::vector<std::uint8_t>;

// A profile failure; what() is the message shown to the user.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

// A colour space given by its ICC profile bytes (a checked RGB profile with
// three components), exactly as reassembled from the file.
struct Output {
    Bytes icc;
};

// Most profile bytes one APP2 chunk can carry: 65535 minus the length field,
// the 12-byte identifier and the two numbering bytes.
inline constexpr std::size_t maxChunkBytes = 65519;
// Most chunks one profile may be split into.
inline constexpr std::size_t maxChunks = 255;

// sRGB's profile bytes: one fixed version 2 "sRGB IEC61966-2.1" profile,
// byte for byte the same in every process, build and machine.
const Bytes& sRGBProfile();

// Whether `icc` is a profile the colour-management library accepts and that
// describes an RGB colour space with exactly three components.
bool isRGBProfile(const Bytes& icc);

// The profile of the JPEG file at `url` (sRGB's when it has none). The name
// must end in .jpg or .jpeg (any letter case); a read error of the file is
// thrown as std::system_error. Throws Failure for the JPEG itself.
Output source(const std::filesystem::path& url);
// The same for JPEG bytes in memory. Throws Failure.
Output source(const Bytes& jpeg);

// A copy of `jpeg` whose only ICC profile is `profile`, placed right after the
// start-of-image marker; every other segment keeps its order and bytes.
// Nothing when the profile is empty or needs more than 255 chunks, or the JPEG
// header is not well formed up to its first scan (or end of image).
std::optional<Bytes> embed(const Bytes& profile, const Bytes& jpeg);

}  // namespace JPEGColourProfile
