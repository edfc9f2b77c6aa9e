// The analysis bitmap of a photo file for face finding.
#include <libraw/libraw.h>

#include <algorithm>
#include <memory>
#include <optional>

#include <opencv2/imgproc.hpp>

#include "engine/library/extraction.h"
#include "engine/portrait/faces.h"

namespace PortraitFaces {

namespace {

// Reduces the picture to at most analysisLongEdge pixels on its long edge.
Imaging::Bitmap bounded(Imaging::Bitmap picture) {
    const int longEdge = std::max(picture.width, picture.height);
    if (longEdge <= analysisLongEdge) return picture;
    const double scale = double(analysisLongEdge) / longEdge;
    const int w = std::max(1, int(std::lround(picture.width * scale)));
    const int h = std::max(1, int(std::lround(picture.height * scale)));
    const int type = CV_MAKETYPE(CV_8U, picture.channels);
    Imaging::Bitmap out(w, h, picture.channels);
    cv::resize(cv::Mat(picture.height, picture.width, type, picture.pixels.data(), picture.stride()),
               cv::Mat(h, w, type, out.pixels.data(), out.stride()), cv::Size(w, h), 0, 0, cv::INTER_AREA);
    return out;
}

struct MemImageDeleter {
    void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};

// A RAW file through LibRaw: half-size (one pixel per Bayer quad, no
// demosaicing), camera white balance, 8-bit sRGB, the file's orientation
// applied. Nothing when LibRaw cannot open the file; throws Failure when it
// opens but cannot be decoded.
std::optional<AnalysisPicture> decodeRaw(const std::filesystem::path& photo) {
    auto raw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK | LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
    if (raw->open_file(photo.c_str()) != LIBRAW_SUCCESS) return std::nullopt;
    AnalysisPicture out;
    out.fullWidth = raw->imgdata.sizes.width;
    out.fullHeight = raw->imgdata.sizes.height;
    if (out.fullWidth <= 0 || out.fullHeight <= 0) throw Failure(undecodable);

    auto& params = raw->imgdata.params;
    params.half_size = 1;
    params.output_bps = 8;
    params.output_color = 1;  // sRGB
    params.use_camera_wb = 1;
    params.user_qual = 0;
    if (raw->unpack() != LIBRAW_SUCCESS || raw->dcraw_process() != LIBRAW_SUCCESS) throw Failure(undecodable);
    int status = LIBRAW_SUCCESS;
    std::unique_ptr<libraw_processed_image_t, MemImageDeleter> image(raw->dcraw_make_mem_image(&status));
    if (!image || status != LIBRAW_SUCCESS) throw Failure(undecodable);
    if (image->type != LIBRAW_IMAGE_BITMAP || image->bits != 8 || (image->colors != 3 && image->colors != 1))
        throw Failure(unpreparable);

    Imaging::Bitmap bitmap(image->width, image->height, image->colors);
    if (bitmap.empty() || image->data_size < bitmap.pixels.size()) throw Failure(unpreparable);
    std::copy_n(image->data, bitmap.pixels.size(), bitmap.pixels.data());
    out.bitmap = bounded(std::move(bitmap));
    return out;
}

// A rendered file (JPEG, HEIC, ...) through the photo library: a full decode
// of the primary image, upright, bounded to the analysis size.
std::optional<AnalysisPicture> decodeRendered(const std::filesystem::path& photo) {
    const auto source = Extraction::open(photo);
    if (!source) return std::nullopt;
    const auto metadata = Extraction::metadata(*source);
    auto bitmap = Extraction::preview(*source, analysisLongEdge, /*rendered*/ true, /*transform*/ true);
    if (!bitmap || bitmap->empty() || !metadata.rawW || !metadata.rawH || *metadata.rawW <= 0 || *metadata.rawH <= 0)
        throw Failure(undecodable);
    AnalysisPicture out;
    out.fullWidth = int(*metadata.rawW);
    out.fullHeight = int(*metadata.rawH);
    out.bitmap = bounded(std::move(*bitmap));
    return out;
}

}  // namespace

AnalysisPicture analysisPicture(const std::filesystem::path& photo) {
    const bool rendered = Extraction::isRendered(photo);
    std::optional<AnalysisPicture> picture = rendered ? decodeRendered(photo) : decodeRaw(photo);
    // A file whose name does not tell may still be a picture the library reads.
    if (!picture && !rendered) picture = decodeRendered(photo);
    if (!picture) throw Failure(undecodable);
    return std::move(*picture);
}

}  // namespace PortraitFaces
