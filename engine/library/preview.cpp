// Previews: the camera's embedded preview of a RAW file (never a decode of the
// sensor data), or a scaled decode of an already rendered JPEG or HEIC file,
// bounded to maxPixel on the long edge and turned upright on request.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <tuple>

#include <libheif/heif.h>
#include <libheif/heif_properties.h>
#include <libraw/libraw.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/library/heif_decode.h"
#include "engine/library/jpeg_codec.h"
#include "engine/library/source_exiv2.h"
#include "engine/library/source_state.h"

namespace Extraction {

namespace {

cv::Mat viewOf(Imaging::Bitmap& bitmap) {
    return cv::Mat(bitmap.height, bitmap.width, CV_8UC(bitmap.channels), bitmap.pixels.data(), bitmap.stride());
}

Imaging::Bitmap bitmapOf(const cv::Mat& mat) {
    Imaging::Bitmap bitmap(mat.cols, mat.rows, mat.channels());
    cv::Mat target = viewOf(bitmap);
    mat.copyTo(target);
    return bitmap;
}

// Scales down (area averaging) so that the long edge is maxPixel; never enlarges.
// The short edge follows the aspect of the full-size picture (width x height) when
// the bitmap is a DCT-scaled decode of it, whose edges were rounded up.
Imaging::Bitmap fitWithin(Imaging::Bitmap bitmap, int maxPixel, int fullWidth = 0, int fullHeight = 0) {
    int longEdge = std::max(bitmap.width, bitmap.height);
    if (longEdge <= maxPixel) return bitmap;
    if (fullWidth <= 0 || fullHeight <= 0) fullWidth = bitmap.width, fullHeight = bitmap.height;
    double ratio = static_cast<double>(maxPixel) / std::max(fullWidth, fullHeight);
    auto scaled = [&](int edge, int fullEdge) {
        return edge == longEdge ? maxPixel : std::max(1, static_cast<int>(std::lround(fullEdge * ratio)));
    };
    cv::Mat resized;
    cv::resize(viewOf(bitmap), resized, cv::Size(scaled(bitmap.width, fullWidth), scaled(bitmap.height, fullHeight)),
               0, 0, cv::INTER_AREA);
    return bitmapOf(resized);
}

Imaging::Bitmap finish(Imaging::Bitmap bitmap, int maxPixel, int orientation) {
    return applyOrientation(fitWithin(std::move(bitmap), maxPixel), orientation);
}

long exifLong(const Exiv2::ExifData& exif, const char* key, long index = 0) {
    auto it = exif.findKey(Exiv2::ExifKey(key));
    if (it == exif.end() || it->count() <= index) return -1;
    return it->toLong(index);
}

// A preview that Exiv2 hands out as a small TIFF file: JPEG data in one strip (as
// DNG stores its previews), or plain 8-bit RGB strips.
std::optional<Imaging::Bitmap> decodeTiffPreview(const std::uint8_t* data, std::size_t size, int maxPixel) {
    try {
        Exiv2::ExifData exif;
        Exiv2::IptcData iptc;
        Exiv2::XmpData xmp;
        Exiv2::TiffParser::decode(exif, iptc, xmp, data, static_cast<uint32_t>(size));
        long width = exifLong(exif, "Exif.Image.ImageWidth");
        long height = exifLong(exif, "Exif.Image.ImageLength");
        long compression = exifLong(exif, "Exif.Image.Compression");
        auto offsets = exif.findKey(Exiv2::ExifKey("Exif.Image.StripOffsets"));
        auto counts = exif.findKey(Exiv2::ExifKey("Exif.Image.StripByteCounts"));
        if (width <= 0 || height <= 0 || offsets == exif.end() || counts == exif.end() ||
            offsets->count() != counts->count() || offsets->count() == 0)
            return std::nullopt;
        auto strip = [&](long i) -> std::optional<std::pair<std::size_t, std::size_t>> {
            long offset = offsets->toLong(i), count = counts->toLong(i);
            if (offset < 0 || count <= 0 || static_cast<std::size_t>(offset) > size ||
                static_cast<std::size_t>(count) > size - static_cast<std::size_t>(offset))
                return std::nullopt;
            return std::make_pair(static_cast<std::size_t>(offset), static_cast<std::size_t>(count));
        };
        if ((compression == 7 || compression == 6) && offsets->count() == 1) {
            auto s = strip(0);
            if (!s) return std::nullopt;
            auto decoded = decodeJPEG(data + s->first, s->second, maxPixel);
            if (!decoded || !decoded->complete) return std::nullopt;
            return fitWithin(std::move(decoded->bitmap), maxPixel, decoded->fullWidth, decoded->fullHeight);
        }
        bool plainRGB = compression == 1 && exifLong(exif, "Exif.Image.SamplesPerPixel") == 3 &&
                        exifLong(exif, "Exif.Image.BitsPerSample") == 8 &&
                        exifLong(exif, "Exif.Image.PhotometricInterpretation") == 2 &&
                        exifLong(exif, "Exif.Image.PlanarConfiguration") != 2;
        if (!plainRGB || width > 65535 || height > 65535) return std::nullopt;
        Imaging::Bitmap bitmap(static_cast<int>(width), static_cast<int>(height), 3);
        std::size_t filled = 0;
        for (long i = 0; i < offsets->count() && filled < bitmap.pixels.size(); ++i) {
            auto s = strip(i);
            if (!s) return std::nullopt;
            std::size_t take = std::min(s->second, bitmap.pixels.size() - filled);
            std::memcpy(bitmap.pixels.data() + filled, data + s->first, take);
            filled += take;
        }
        if (filled != bitmap.pixels.size()) return std::nullopt;
        return bitmap;
    } catch (...) {
        return std::nullopt;
    }
}

// Encoded data of a picture, or pixels already, as the libraries hand them out.
struct PreviewData {
    std::vector<std::uint8_t> bytes;
    bool jpeg = true;
    std::optional<Imaging::Bitmap> pixels;
};

std::optional<PreviewData> readExiv2Preview(const Source::State& state, int id) {
    auto encoded = exiv2PreviewData(state, id);
    if (!encoded) return std::nullopt;
    PreviewData data;
    data.bytes = std::move(encoded->first);
    data.jpeg = encoded->second;
    return data;
}

// A JPEG thumbnail read straight from where LibRaw found it. A file cut short gives
// what is there, which the decoder then finds incomplete.
std::optional<PreviewData> readThumbnailAt(const Source::State& state, long long offset, long long length) {
    if (offset <= 0 || length <= 2 || length > (1LL << 30)) return std::nullopt;
    int fd = ::open(state.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    PreviewData data;
    data.bytes.resize(static_cast<std::size_t>(length));
    std::size_t done = 0;
    while (done < data.bytes.size()) {
        ssize_t got = ::pread(fd, data.bytes.data() + done, data.bytes.size() - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    if (done < 2) return std::nullopt;
    data.bytes.resize(done);
    // Some cameras spoil the start-of-image marker of an otherwise sound JPEG.
    data.bytes[0] = 0xFF;
    data.bytes[1] = 0xD8;
    return data;
}

std::optional<PreviewData> readLibRawThumbnail(const Source::State& state) {
    if (state.rawThumbnail && state.rawThumbnail->length > 0)
        return readThumbnailAt(state, state.rawThumbnail->offset, state.rawThumbnail->length);
    try {
        auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
        if (raw->open_file(state.file.c_str()) != LIBRAW_SUCCESS) return std::nullopt;
        if (raw->unpack_thumb() != LIBRAW_SUCCESS) return std::nullopt;
        const libraw_thumbnail_t& t = raw->imgdata.thumbnail;
        if (!t.thumb || t.tlength == 0) return std::nullopt;
        PreviewData data;
        if (t.tformat == LIBRAW_THUMBNAIL_JPEG) {
            data.bytes.assign(t.thumb, t.thumb + t.tlength);
            return data;
        }
        if (t.tformat == LIBRAW_THUMBNAIL_BITMAP && t.tcolors == 3 && t.twidth > 0 && t.theight > 0 &&
            static_cast<std::size_t>(t.twidth) * t.theight * 3 <= t.tlength) {
            Imaging::Bitmap bitmap(t.twidth, t.theight, 3);
            std::memcpy(bitmap.pixels.data(), t.thumb, bitmap.pixels.size());
            data.jpeg = false;
            data.pixels = std::move(bitmap);
            return data;
        }
    } catch (...) {
    }
    return std::nullopt;
}

// The picture of one embedded preview, decoded at the scale maxPixel needs and
// turned upright as orientation says. JPEG data is turned while it is decoded, so
// no second full-size picture is held. A JPEG that ends early or is damaged is
// refused: the decoder would fill the missing part grey, and another complete
// preview is the better answer.
std::optional<Imaging::Bitmap> decodePreviewData(const PreviewData& data, int maxPixel, int orientation) {
    if (data.pixels) return finish(*data.pixels, maxPixel, orientation);
    if (data.jpeg) {
        auto decoded = decodeJPEG(data.bytes.data(), data.bytes.size(), maxPixel, orientation);
        if (!decoded || !decoded->complete) return std::nullopt;
        const bool transposed = orientation >= 5 && orientation <= 8;
        return fitWithin(std::move(decoded->bitmap), maxPixel, transposed ? decoded->fullHeight : decoded->fullWidth,
                         transposed ? decoded->fullWidth : decoded->fullHeight);
    }
    auto bitmap = decodeTiffPreview(data.bytes.data(), data.bytes.size(), maxPixel);
    if (!bitmap) return std::nullopt;
    return finish(std::move(*bitmap), maxPixel, orientation);
}

std::optional<PreviewData> readPreview(const Source::State& state, const EmbeddedPreview& preview) {
    switch (preview.origin) {
        case EmbeddedPreview::Origin::file: return readThumbnailAt(state, preview.offset, preview.length);
        case EmbeddedPreview::Origin::memory:
            if (!preview.bytes) return std::nullopt;
            return PreviewData{*preview.bytes, true, std::nullopt};
        case EmbeddedPreview::Origin::exiv2: return readExiv2Preview(state, preview.id);
        case EmbeddedPreview::Origin::libraw: return readLibRawThumbnail(state);
        case EmbeddedPreview::Origin::heif: break;
    }
    return std::nullopt;
}

// The camera's preview for maxPixel: of the complete JPEG previews, the smallest
// whose long edge reaches maxPixel, or else the largest. The previews the file's
// layout points at are tried first (LibRaw's pick, usually the largest, among
// them); Exiv2's list is built only when LibRaw had no pick and those fall short,
// or when none of them decodes. Bitmap thumbnails come last, LibRaw's after every
// JPEG.
std::optional<EmbeddedPreviewChoice> chooseEmbeddedPreview(const Source::State& state, int maxPixel, bool transform) {
    const int orientation = transform ? state.orientation : 1;
    // Each picture is tried once, whichever list names it.
    std::vector<std::tuple<int, int, long long>> tried;
    auto firstTry = [&](const EmbeddedPreview& p) {
        auto key = std::make_tuple(p.width, p.height, p.bytes ? static_cast<long long>(p.bytes->size()) : p.length);
        if (std::find(tried.begin(), tried.end(), key) != tried.end()) return false;
        tried.push_back(key);
        return true;
    };
    auto attempt = [&](const EmbeddedPreview& p) -> std::optional<EmbeddedPreviewChoice> {
        auto data = readPreview(state, p);
        if (!data) return std::nullopt;
        auto bitmap = decodePreviewData(*data, maxPixel, orientation);
        if (!bitmap) return std::nullopt;
        return EmbeddedPreviewChoice{std::move(*bitmap), p.width, p.height};
    };

    std::vector<EmbeddedPreview> known = layoutPreviews(state);
    TryingOrder order = inTryingOrder(known, maxPixel);
    for (std::size_t i = 0; i < order.reaching; ++i)
        if (firstTry(order.previews[i]))
            if (auto chosen = attempt(order.previews[i])) return chosen;
    const bool libRawPicked = std::any_of(known.begin(), known.end(), [&](const EmbeddedPreview& p) {
        return state.rawThumbnail && p.origin == EmbeddedPreview::Origin::file && p.offset == state.rawThumbnail->offset;
    });
    std::vector<EmbeddedPreview> exiv2;
    if (!libRawPicked) {
        exiv2 = exiv2Previews(state);
        for (const EmbeddedPreview& p : exiv2)
            if (p.jpeg) known.push_back(p);
    }
    for (const EmbeddedPreview& p : inTryingOrder(std::move(known), maxPixel).previews)
        if (firstTry(p))
            if (auto chosen = attempt(p)) return chosen;

    // Nothing the layout names decodes: whatever Exiv2 finds, as it ranks them.
    std::optional<EmbeddedPreview> rawBitmap;
    if (state.rawThumbnail && state.rawThumbnail->offset <= 0) rawBitmap = state.rawThumbnail;
    if (libRawPicked) exiv2 = exiv2Previews(state);
    for (const EmbeddedPreview& p : exiv2) {
        if (!p.jpeg && rawBitmap) break;
        if (firstTry(p))
            if (auto chosen = attempt(p)) return chosen;
    }
    if (rawBitmap)
        if (auto chosen = attempt(*rawBitmap)) return chosen;
    return std::nullopt;
}

std::optional<Imaging::Bitmap> embeddedImage(const Source::State& state, int maxPixel, bool transform) {
    auto chosen = chooseEmbeddedPreview(state, maxPixel, transform);
    if (!chosen) return std::nullopt;
    return std::move(chosen->image);
}

// A HEIF image (the primary one, or a thumbnail item) as RGB, bounded to maxPixel
// (0: full size). A file that turns its pictures with rotation or mirroring
// properties is turned upright by libheif; a file without them (older iPhones)
// by its EXIF orientation, never by both. Below full size the YCbCr planes are
// reduced before they become RGB.
std::optional<Imaging::Bitmap> decodeHeif(const Source::State& state, std::optional<int> thumbnailId, bool transform,
                                          int maxPixel) {
    struct Resources {
        heif_context* context = heif_context_alloc();
        heif_image_handle* primary = nullptr;
        heif_image_handle* thumbnail = nullptr;
        heif_decoding_options* options = heif_decoding_options_alloc();
        heif_image* image = nullptr;
        ~Resources() {
            if (image) heif_image_release(image);
            if (options) heif_decoding_options_free(options);
            if (thumbnail) heif_image_handle_release(thumbnail);
            if (primary) heif_image_handle_release(primary);
            if (context) heif_context_free(context);
        }
    } r;
    if (!r.context || !r.options) return std::nullopt;
    if (!readHeifContext(state, r.context)) return std::nullopt;
    if (heif_context_get_primary_image_handle(r.context, &r.primary).code != heif_error_Ok) return std::nullopt;
    heif_image_handle* handle = r.primary;
    if (thumbnailId) {
        if (heif_image_handle_get_thumbnail(r.primary, static_cast<heif_item_id>(*thumbnailId), &r.thumbnail).code !=
            heif_error_Ok)
            return std::nullopt;
        handle = r.thumbnail;
    }
    r.options->ignore_transformations = transform ? 0 : 1;
    r.options->decoder_id = fastHevcDecoder();
    const int orientation = transform && !heifTurnsItself(r.context, r.primary) ? state.orientation : 1;

    // The size libheif hands out (turned by the file's own properties unless they are ignored).
    const int fullWidth = transform ? heif_image_handle_get_width(handle) : heif_image_handle_get_ispe_width(handle);
    const int fullHeight = transform ? heif_image_handle_get_height(handle) : heif_image_handle_get_ispe_height(handle);
    const int longEdge = std::max(fullWidth, fullHeight);
    heif_colorspace colourspace = heif_colorspace_undefined;
    heif_chroma chroma = heif_chroma_undefined;
    if (maxPixel > 0 && longEdge > maxPixel && heif_image_handle_get_luma_bits_per_pixel(handle) == 8 &&
        heif_image_handle_get_preferred_decoding_colorspace(handle, &colourspace, &chroma).code == heif_error_Ok &&
        colourspace == heif_colorspace_YCbCr &&
        heif_decode_image(handle, &r.image, heif_colorspace_YCbCr, chroma, r.options).code == heif_error_Ok) {
        const int width = heif_image_get_primary_width(r.image), height = heif_image_get_primary_height(r.image);
        const double ratio = static_cast<double>(maxPixel) / std::max(width, height);
        auto edge = [&](int e) { return e >= std::max(width, height) ? maxPixel : std::max(1, int(std::lround(e * ratio))); };
        if (auto reduced = reducedRGB(r.image, edge(width), edge(height)))
            return applyOrientation(std::move(*reduced), orientation);
        heif_image_release(r.image);
        r.image = nullptr;
    }
    if (heif_decode_image(handle, &r.image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, r.options).code !=
        heif_error_Ok)
        return std::nullopt;
    int width = heif_image_get_width(r.image, heif_channel_interleaved);
    int height = heif_image_get_height(r.image, heif_channel_interleaved);
    int stride = 0;
    const std::uint8_t* plane = heif_image_get_plane_readonly(r.image, heif_channel_interleaved, &stride);
    if (!plane || width <= 0 || height <= 0 || stride < width * 3) return std::nullopt;
    Imaging::Bitmap bitmap(width, height, 3);
    for (int y = 0; y < height; ++y)
        std::memcpy(bitmap.row(y), plane + static_cast<std::size_t>(y) * stride, bitmap.stride());
    if (maxPixel > 0) bitmap = fitWithin(std::move(bitmap), maxPixel);
    return applyOrientation(std::move(bitmap), orientation);
}

// The primary image of a JPEG file, DCT-scaled for maxPixel (0: full size), then
// brought to maxPixel exactly when fit holds.
std::optional<Imaging::Bitmap> decodeRenderedJPEG(const Source::State& state, int maxPixel, bool transform, bool fit) {
    auto bytes = readWholeFile(state.file);
    if (!bytes) return std::nullopt;
    auto decoded = decodeJPEG(bytes->data(), bytes->size(), maxPixel);
    if (!decoded || !decoded->complete) return std::nullopt;
    Imaging::Bitmap bitmap = std::move(decoded->bitmap);
    if (fit) bitmap = fitWithin(std::move(bitmap), maxPixel, decoded->fullWidth, decoded->fullHeight);
    return applyOrientation(std::move(bitmap), transform ? state.orientation : 1);
}

}  // namespace

Imaging::Bitmap applyOrientation(Imaging::Bitmap bitmap, int orientation) {
    if (orientation < 2 || orientation > 8 || bitmap.empty()) return bitmap;
    // Turned straight into the new picture: the original and the turned one are the
    // only full-size copies held.
    const bool transposed = orientation >= 5;
    Imaging::Bitmap upright(transposed ? bitmap.height : bitmap.width, transposed ? bitmap.width : bitmap.height,
                            bitmap.channels);
    cv::Mat source = viewOf(bitmap);
    cv::Mat turned = viewOf(upright);
    switch (orientation) {
        case 2: cv::flip(source, turned, 1); break;                            // mirrored left to right
        case 3: cv::rotate(source, turned, cv::ROTATE_180); break;             // upside down
        case 4: cv::flip(source, turned, 0); break;                            // mirrored top to bottom
        case 5: cv::transpose(source, turned); break;                          // mirrored along the diagonal
        case 6: cv::rotate(source, turned, cv::ROTATE_90_CLOCKWISE); break;    // lying on its left side
        case 7: cv::transpose(source, turned), cv::flip(turned, turned, -1); break;  // the other diagonal
        case 8: cv::rotate(source, turned, cv::ROTATE_90_COUNTERCLOCKWISE); break;  // lying on its right side
    }
    return upright;
}

std::optional<EmbeddedPreviewChoice> embeddedPreview(const Source& source, int maxPixel, bool transform) {
    if (!source.state || maxPixel <= 0 || source.state->kind == SourceKind::heif) return std::nullopt;
    try {
        return chooseEmbeddedPreview(*source.state, maxPixel, transform);
    } catch (...) {
    }
    return std::nullopt;
}

std::optional<Imaging::Bitmap> preview(const Source& source, int maxPixel, bool rendered, bool transform) {
    if (!source.state || maxPixel <= 0) return std::nullopt;
    const Source::State& state = *source.state;
    try {
        switch (state.kind) {
            case SourceKind::heif: {
                std::optional<int> thumbnail;
                if (!rendered) {
                    if (state.heifThumbnails.empty()) return std::nullopt;
                    auto largest = std::max_element(state.heifThumbnails.begin(), state.heifThumbnails.end(),
                                                    [](auto& a, auto& b) { return a.area() < b.area(); });
                    thumbnail = largest->id;
                }
                return decodeHeif(state, thumbnail, transform, maxPixel);
            }
            case SourceKind::jpeg:
                if (rendered) return decodeRenderedJPEG(state, maxPixel, transform, true);
                return embeddedImage(state, maxPixel, transform);
            case SourceKind::raw:
                // Whatever the caller believes, sensor data is never decoded here.
                return embeddedImage(state, maxPixel, transform);
        }
    } catch (...) {
    }
    return std::nullopt;
}

std::optional<Imaging::Bitmap> decodeRendered(const Source& source, std::optional<int> maxPixel, bool transform) {
    if (!source.state) return std::nullopt;
    const Source::State& state = *source.state;
    try {
        switch (state.kind) {
            case SourceKind::jpeg: return decodeRenderedJPEG(state, maxPixel.value_or(0), transform, false);
            case SourceKind::heif: return decodeHeif(state, std::nullopt, transform, 0);
            case SourceKind::raw: return std::nullopt;
        }
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace Extraction
