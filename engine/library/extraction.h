#pragma once
// The photo library: opening photo files, embedded previews, JPEG writing,
// capture metadata and folder listings.
//
// Every operation reports failure by returning nothing; none throws.

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/imaging/bitmap.h"

namespace Extraction {

// Lower-case extensions of files that are already rendered images.
inline constexpr std::array<std::string_view, 3> renderedExtensions{"jpg", "jpeg", "heic"};

// True when the lower-cased extension of the file name is in renderedExtensions.
bool isRendered(const std::filesystem::path& file);

// An opened photo file. Cheap to copy; holds no decoded pixels.
struct Source {
    struct State;
    std::shared_ptr<const State> state;
};

// Opens the photo file; nothing when no library can read it.
std::optional<Source> open(const std::filesystem::path& file);

// A preview bounded to maxPixel on its long side, never enlarged: the embedded
// preview of a RAW file (rendered false) or a decode of the primary image
// (rendered true), upright when transform holds. 8-bit RGB.
std::optional<Imaging::Bitmap> preview(const Source& source, int maxPixel, bool rendered, bool transform);

// Writes the picture as a JPEG through "<url>.part" and returns the final file's size.
std::optional<long long> writeJPEG(const Imaging::Bitmap& image, const std::filesystem::path& url, double quality);
// The same with the ICC profile of the picture's colour space embedded (none when empty).
std::optional<long long> writeJPEG(const Imaging::Bitmap& image, const std::filesystem::path& url, double quality,
                                   const std::vector<std::uint8_t>& profile);

// The ICC profile of the colour space the source's pictures are in (its
// primary image and its previews): a JPEG's own profile, a HEIF file's ICC
// profile or one made from its nclx primaries and tone curve, or Adobe RGB
// when the EXIF colour space says so (ColorSpace 0xFFFF with interoperability
// index "R03"). Empty for sRGB and for files that name no colour space.
std::vector<std::uint8_t> colourProfile(const Source& source);

// Capture facts of a photo; every field optional.
struct ImageMetadata {
    std::optional<long long> rawW;
    std::optional<long long> rawH;
    std::optional<std::string> shotAt;
    std::optional<std::string> camera;
    std::optional<std::string> cameraSerial;
    std::optional<std::string> lens;
    std::optional<double> focalLength;
    std::optional<double> exposureTime;
    std::optional<double> aperture;
    std::optional<long long> iso;
    std::optional<int> orientation;
};

ImageMetadata metadata(const Source& source);

// Helpers shared with the develop code and the tests.

// Turns a picture stored with the given EXIF orientation (1-8) upright;
// any other value leaves it as it is.
Imaging::Bitmap applyOrientation(Imaging::Bitmap bitmap, int orientation);

// The full primary image of an already rendered file (JPEG or HEIC), as 8-bit RGB.
// With maxPixel, JPEG decoding uses the smallest DCT scale whose long edge is still
// at least maxPixel (no further resampling); HEIC is always decoded at full size.
// Upright when transform holds. Nothing for RAW files, unreadable or damaged data.
std::optional<Imaging::Bitmap> decodeRendered(const Source& source, std::optional<int> maxPixel = std::nullopt,
                                              bool transform = true);

// The text form of a tag: trimmed of white space and line breaks at both ends,
// nothing when that leaves it empty.
std::optional<std::string> cleanText(std::string_view value);

// One camera name from the make and model tags (each already cleaned): the model
// alone when it already begins with the make, otherwise "make model".
std::optional<std::string> cameraName(const std::optional<std::string>& make, const std::optional<std::string>& model);

// Folder listing.
inline constexpr int maxDepth = 8;
inline constexpr std::size_t maxEntries = 300000;

struct Entry {
    std::filesystem::path url;  // absolute path of the file
    std::string rel;            // path relative to the listed folder, "/" between components
};

struct SurveyFolder {
    std::string name;
    long long photos = 0;
    long long videos = 0;
};

struct Survey {
    long long photosHere = 0;
    long long videosHere = 0;
    long long photosNested = 0;
    long long videosNested = 0;
    std::vector<SurveyFolder> folders;
    bool truncated = false;
};

std::vector<Entry> listFolder(const std::filesystem::path& path, bool recursive);
Survey survey(const std::filesystem::path& path);

}  // namespace Extraction
