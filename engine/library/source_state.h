#pragma once
// What an opened photo file remembers: its kind, its capture facts and the
// embedded previews it offers. Private to the photo library.

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/library/extraction.h"

struct heif_context;
struct heif_image_handle;

namespace Exiv2 {
class ExifData;
class XmpData;
class Image;
class PreviewManager;
struct PreviewProperties;
}

namespace Extraction {

// The colour space a HEIF file names for its primary image: its ICC profile,
// or (icc empty) its nclx primaries and transfer codes with the primaries'
// and white point's chromaticities (red x, y, green, blue, white).
struct HeifColour {
    std::vector<std::uint8_t> icc;
    int primaries = 2;
    int transfer = 2;
    std::array<double, 8> xy{};
};

// What the HEIF image names as its colour space; nothing when it names none.
std::optional<HeifColour> heifColourOf(heif_image_handle* handle);

// How the file's content is decoded (found from its first bytes, not its name).
enum class SourceKind { jpeg, heif, raw };

// One picture stored inside a file besides (or instead of) its primary image.
struct EmbeddedPreview {
    // exiv2: one of Exiv2's previews (by id); libraw: LibRaw's pick; heif: a HEIF
    // thumbnail item; file: JPEG bytes at offset, length in the file; memory: JPEG
    // bytes that Exiv2 already read with the metadata.
    enum class Origin { exiv2, libraw, heif, file, memory };
    Origin origin = Origin::exiv2;
    int id = 0;          // Exiv2 preview id or HEIF thumbnail index
    int width = 0;
    int height = 0;
    bool jpeg = true;    // JPEG data (a bitmap thumbnail otherwise)
    // Where LibRaw found a JPEG thumbnail in the file, so that it can be read back
    // without parsing the file again (0: not known, ask LibRaw).
    long long offset = 0;
    long long length = 0;
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;  // for Origin::memory
    long long area() const { return static_cast<long long>(width) * height; }
    long long longEdge() const { return std::max(width, height); }
};

struct Source::State {
    std::filesystem::path file;
    SourceKind kind = SourceKind::raw;
    ImageMetadata metadata;
    int orientation = 1;                        // how previews are turned upright
    std::optional<EmbeddedPreview> rawThumbnail;  // the one LibRaw picks, tried first
    std::vector<EmbeddedPreview> heifThumbnails;
    // A HEIF picture rewrapped in memory (the first frame of an image sequence,
    // which libheif does not read from the file itself); empty: read the file.
    std::shared_ptr<const std::vector<std::uint8_t>> heifBytes;
    std::optional<HeifColour> heifColour;
    // The Exiv2 view of the file, kept for reading previews later; Exiv2 objects
    // are not safe for concurrent use, hence the lock. Listing Exiv2's previews
    // can take long (it looks at every image of a large DNG), so it is done only
    // when needed and remembered.
    std::shared_ptr<Exiv2::Image> exiv;
    mutable std::mutex exivLock;
    mutable std::optional<std::vector<EmbeddedPreview>> exivPreviews;  // best first
    mutable std::shared_ptr<Exiv2::PreviewManager> exivPreviewManager;
    mutable std::vector<Exiv2::PreviewProperties> exivPreviewProperties;
};

// The first picture of a HEIF image sequence as a single-picture HEIF file in
// memory; nothing when the file holds no HEVC track.
std::optional<std::vector<std::uint8_t>> firstFrameAsHeif(const std::filesystem::path& file);

// Reads the file (or its rewrapped picture) into a libheif context.
bool readHeifContext(const Source::State& state, heif_context* context);

// Whether the image carries rotation or mirroring properties of its own, which
// libheif applies when it decodes.
bool heifTurnsItself(const heif_context* context, const heif_image_handle* image);

// Exiv2's previews of the file, best first (JPEG before bitmaps, larger first).
std::vector<EmbeddedPreview> exiv2Previews(const Source::State& state);

// The encoded data of one of Exiv2's previews and whether it is JPEG (TIFF otherwise).
std::optional<std::pair<std::vector<std::uint8_t>, bool>> exiv2PreviewData(const Source::State& state, int id);

// The JPEG previews that the file's own layout points at, found without building
// Exiv2's preview list (which reads every picture of the file): LibRaw's pick, the
// JPEG streams named by the TIFF tags of a TIFF-based RAW file (interchange-format
// offsets and lengths, single JPEG strips), and the small previews Exiv2 already
// read with the metadata. Each carries the stored size of its JPEG header. A preview
// that does not start within the file, is no 8-bit JPEG the decoder reads, or has
// no end marker is left out.
std::vector<EmbeddedPreview> layoutPreviews(const Source::State& state);

// The order in which previews are tried for a preview bounded to maxPixel: those
// whose long edge reaches maxPixel, smallest first, then the others, largest first
// (turning a picture upright never changes its long edge). Previews shaped unlike
// the largest one (the small 4:3 thumbnails of 3:2 cameras, black bands above and
// below the picture) come after all others, larger first.
struct TryingOrder {
    std::vector<EmbeddedPreview> previews;
    std::size_t reaching = 0;  // how many at the front reach maxPixel with the photo's shape
};
TryingOrder inTryingOrder(std::vector<EmbeddedPreview> previews, int maxPixel);

// Sets Exiv2 up once per process for use from many threads (silent, with BMFF
// and a lock around the XMP toolkit).
void prepareExiv2();

// Capture facts from what Exiv2 read of the file.
ImageMetadata metadataFromExiv2(Exiv2::Image& image);

// Capture facts from EXIF and XMP tags read elsewhere (a HEIF file's EXIF block).
ImageMetadata metadataFromTags(const Exiv2::ExifData& exif, const Exiv2::XmpData& xmp);

// What LibRaw parsed from a RAW file's header, for formats Exiv2 cannot read.
struct RawFacts {
    std::string make, model, lens, serial;
    long long timestamp = 0;  // seconds since the epoch, 0 when unknown
    double iso = 0, shutter = 0, aperture = 0, focalLength = 0;
};
ImageMetadata metadataFromRawFacts(const RawFacts& facts);

// Canon's exposure steps in EV: 32 to a stop, where the fractions 12 and 20 stand
// for a third and two thirds of a stop.
double canonEv(int value);

// EXIF orientation code for LibRaw's flip value (0, 3, 5, 6); nothing otherwise.
std::optional<int> orientationFromFlip(int flip);

}  // namespace Extraction
