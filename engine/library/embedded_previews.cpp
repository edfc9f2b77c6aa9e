// The JPEG previews a RAW file's layout points at, and the order in which they are
// tried for a preview of a given size. Listing reads a few bytes of each preview
// (its JPEG header and its last bytes); only the preview finally chosen is read whole.

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/library/jpeg_codec.h"
#include "engine/library/open_file.h"
#include "engine/library/source_exiv2.h"
#include "engine/library/source_state.h"

namespace Extraction {

namespace {

// How far from the end of a preview's bytes its end-of-image marker may lie
// (cameras pad previews to a block size).
constexpr long long endMarkerWindow = 4096;
// Headers with more segments than this before the frame header are not believed.
constexpr int maxHeaderSegments = 256;

// Frame headers of JPEG processes that the 8-bit decoder reads: baseline, extended
// and progressive Huffman coding, and their arithmetic-coded twins.
bool decodableFrame(std::uint8_t marker) {
    return marker == 0xC0 || marker == 0xC1 || marker == 0xC2 || marker == 0xC9 || marker == 0xCA;
}

bool frameMarker(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// Width and height from the frame header of the JPEG stream at offset, walking its
// segments. The start-of-image marker itself is not checked (some cameras spoil it
// in an otherwise sound preview; the reader mends it).
std::optional<std::pair<int, int>> jpegFrameSize(const OpenFile& file, long long offset, long long length) {
    const long long end = offset + length;
    long long at = offset + 2;
    for (int segment = 0; segment < maxHeaderSegments && at + 4 <= end; ++segment) {
        std::uint8_t head[4];
        if (!file.read(at, head, sizeof head) || head[0] != 0xFF) return std::nullopt;
        const std::uint8_t marker = head[1];
        if (marker == 0xFF) {  // fill byte before a marker
            at += 1;
            continue;
        }
        if (marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {  // markers without a length
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) return std::nullopt;  // no frame header before the picture data
        const int segmentLength = head[2] << 8 | head[3];
        if (segmentLength < 2) return std::nullopt;
        if (frameMarker(marker)) {
            std::uint8_t frame[5];  // precision, height, width
            if (!decodableFrame(marker) || at + 9 > end || !file.read(at + 4, frame, sizeof frame)) return std::nullopt;
            const int height = frame[1] << 8 | frame[2];
            const int width = frame[3] << 8 | frame[4];
            if (frame[0] != 8 || width == 0 || height == 0) return std::nullopt;
            return std::make_pair(width, height);
        }
        at += 2 + segmentLength;
    }
    return std::nullopt;
}

// True when an end-of-image marker lies near the end of the bytes. Entropy-coded
// data never holds 0xFF 0xD9, so a stream cut short has none there.
bool endsWithEndMarker(const OpenFile& file, long long offset, long long length) {
    const long long window = std::min(length, endMarkerWindow);
    std::vector<std::uint8_t> tail(static_cast<std::size_t>(window));
    if (!file.read(offset + length - window, tail.data(), tail.size())) return false;
    for (std::size_t i = tail.size(); i-- > 1;)
        if (tail[i - 1] == 0xFF && tail[i] == 0xD9) return true;
    return false;
}

// A TIFF-based file (TIFF, DNG, NEF, CR2, ARW, ORF, RW2, PEF, ...), whose tag offsets
// count from the start of the file.
bool tiffLayout(const OpenFile& file) {
    std::uint8_t head[4];
    if (!file.read(0, head, sizeof head)) return false;
    if (head[0] == 'I' && head[1] == 'I')
        return (head[2] == 42 && head[3] == 0) || (head[2] == 'R' && (head[3] == 'O' || head[3] == 'S')) ||
               (head[2] == 'U' && head[3] == 0);
    if (head[0] == 'M' && head[1] == 'M') return (head[2] == 0 && head[3] == 42) || (head[2] == 'O' && head[3] == 'R');
    return false;
}

// Long edge over short edge.
double aspectOf(const EmbeddedPreview& p) {
    const int shortEdge = std::max(1, std::min(p.width, p.height));
    return static_cast<double>(std::max(p.width, p.height)) / shortEdge;
}

// Within 4 %: a camera's small preview may crop a few rows (570x375 beside 6000x4000),
// while a 4:3 thumbnail of a 3:2 photo is 12.5 % off.
bool sameAspect(double a, double b) { return std::max(a, b) / std::min(a, b) <= 1.04; }

long exifValue(const Exiv2::ExifData& exif, const std::string& key) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() != 1) return -1;
    return it->toLong(0);
}

}  // namespace

std::vector<EmbeddedPreview> layoutPreviews(const Source::State& state) {
    std::vector<EmbeddedPreview> previews;
    OpenFile file(state.file);
    if (file.size() <= 0) return previews;

    auto addFileRange = [&](long long offset, long long length) {
        if (offset <= 0 || length <= 2 || offset >= file.size()) return;
        for (const EmbeddedPreview& known : previews)
            if (known.origin == EmbeddedPreview::Origin::file && known.offset == offset) return;
        // A file cut short keeps what it has; the decoder judges whether that is whole.
        length = std::min(length, file.size() - offset);
        auto size = jpegFrameSize(file, offset, length);
        if (!size || !endsWithEndMarker(file, offset, length)) return;
        EmbeddedPreview preview;
        preview.origin = EmbeddedPreview::Origin::file;
        preview.width = size->first;
        preview.height = size->second;
        preview.offset = offset;
        preview.length = length;
        previews.push_back(preview);
    };

    if (state.rawThumbnail && state.rawThumbnail->offset > 0)
        addFileRange(state.rawThumbnail->offset, state.rawThumbnail->length);
    if (!state.exiv) return previews;

    const bool offsetsInFile = tiffLayout(file);
    std::lock_guard lock(state.exivLock);
    try {
        const Exiv2::ExifData& exif = state.exiv->exifData();
        for (const Exiv2::Exifdatum& datum : exif) {
            const std::string tag = datum.tagName();
            if (tag == "JPEGInterchangeFormat") {
                if (datum.sizeDataArea() > 0) {
                    Exiv2::DataBuf area = datum.dataArea();
                    auto size = jpegSize(area.pData_, static_cast<std::size_t>(area.size_));
                    if (!size) continue;
                    EmbeddedPreview preview;
                    preview.origin = EmbeddedPreview::Origin::memory;
                    preview.width = size->first;
                    preview.height = size->second;
                    preview.bytes = std::make_shared<const std::vector<std::uint8_t>>(area.pData_, area.pData_ + area.size_);
                    previews.push_back(std::move(preview));
                } else if (offsetsInFile && datum.count() == 1) {
                    addFileRange(datum.toLong(0), exifValue(exif, datum.key() + "Length"));
                }
            } else if (tag == "StripOffsets" && offsetsInFile && datum.count() == 1) {
                // A picture stored as one JPEG strip (DNG and CR2 previews). The RAW data
                // itself may be a lossless JPEG strip, which the frame header turns away.
                const std::string group = "Exif." + datum.groupName() + ".";
                const long compression = exifValue(exif, group + "Compression");
                if (compression == 6 || compression == 7)
                    addFileRange(datum.toLong(0), exifValue(exif, group + "StripByteCounts"));
            }
        }
    } catch (...) {
    }
    return previews;
}

TryingOrder inTryingOrder(std::vector<EmbeddedPreview> previews, int maxPixel) {
    TryingOrder order;
    if (previews.empty()) return order;
    const EmbeddedPreview& largest = *std::max_element(
        previews.begin(), previews.end(), [](const EmbeddedPreview& a, const EmbeddedPreview& b) { return a.area() < b.area(); });
    const double photoAspect = aspectOf(largest);
    auto shaped = [photoAspect](const EmbeddedPreview& p) { return sameAspect(aspectOf(p), photoAspect); };
    auto reaches = [maxPixel](const EmbeddedPreview& p) { return p.longEdge() >= maxPixel; };
    std::stable_sort(previews.begin(), previews.end(), [&](const EmbeddedPreview& a, const EmbeddedPreview& b) {
        if (shaped(a) != shaped(b)) return shaped(a);
        if (!shaped(a)) return a.area() > b.area();
        if (reaches(a) != reaches(b)) return reaches(a);
        return reaches(a) ? a.area() < b.area() : a.area() > b.area();
    });
    order.reaching = static_cast<std::size_t>(std::count_if(
        previews.begin(), previews.end(), [&](const EmbeddedPreview& p) { return shaped(p) && reaches(p); }));
    order.previews = std::move(previews);
    return order;
}

}  // namespace Extraction
