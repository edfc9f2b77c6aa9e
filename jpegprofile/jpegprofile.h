#pragma once
// The ICC colour profile of a JPEG: read from its APP2 "ICC_PROFILE" chunks,
// checked to be an RGB profile, and embedded into other JPEG bytes.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <vector>

namespace JPEGColourProfile {

using Bytes = std::vector<std::uint8_t>;

// A profile failure; what() is the message.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
    const char* description() const noexcept { return what(); }
};

// A colour space given by its ICC profile bytes (a checked RGB profile).
struct Output {
    Bytes icc;
};

// sRGB's profile bytes, made once per process.
const Bytes& sRGBProfile();

// The profile of the JPEG file at `url` (sRGB's when it has none). Throws Failure.
Output source(const std::filesystem::path& url);
// The same for JPEG bytes in memory. Throws Failure.
Output source(const Bytes& jpeg);

// A copy of `jpeg` whose only ICC profile is `profile`; nothing when the profile
// is empty or too large, or the JPEG header is not well formed.
std::optional<Bytes> embed(const Bytes& profile, const Bytes& jpeg);

}  // namespace JPEGColourProfile
