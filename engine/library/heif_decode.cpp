// Fast HEIF previews: FFmpeg's HEVC decoder when it is installed, and reduction of
// the decoded YCbCr planes before the conversion to RGB.

#include "engine/library/heif_decode.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/image.h"

namespace Extraction {

std::optional<YCbCrMatrix> ycbcrMatrix(int matrixCoefficients, bool fullRange) {
    YCbCrMatrix m;
    m.fullRange = fullRange;
    switch (matrixCoefficients) {
        case 1: m.kr = 0.2126, m.kb = 0.0722; return m;
        case 2:
        case 5:
        case 6: m.kr = 0.299, m.kb = 0.114; return m;
        case 9: m.kr = 0.2627, m.kb = 0.0593; return m;
        default: return std::nullopt;
    }
}

std::array<std::uint8_t, 3> rgbFromYCbCr(int y, int cb, int cr, const YCbCrMatrix& m) {
    double luma = y, blue = cb - 128.0, red = cr - 128.0;
    if (!m.fullRange) {
        luma = (y - 16) * (255.0 / 219.0);
        blue *= 255.0 / 224.0;
        red *= 255.0 / 224.0;
    }
    const double r = luma + 2 * (1 - m.kr) * red;
    const double b = luma + 2 * (1 - m.kb) * blue;
    const double g = (luma - m.kr * r - m.kb * b) / (1 - m.kr - m.kb);
    auto byte = [](double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
    return {byte(r), byte(g), byte(b)};
}

const char* fastHevcDecoder() {
    static std::once_flag once;
    static const char* name = nullptr;
    std::call_once(once, [] {
        const heif_decoder_descriptor* decoders[16];
        int count = heif_get_decoder_descriptors(heif_compression_HEVC, decoders, 16);
        for (int i = 0; i < count; ++i) {
            const char* id = heif_decoder_descriptor_get_id_name(decoders[i]);
            if (id && std::string(id) == "ffmpeg") name = id;
        }
    });
    return name;
}

// Area averaging of one plane down to width x height. Most of a large reduction is
// done first by a whole factor that divides both edges, which OpenCV averages
// several times faster than an arbitrary one.
cv::Mat areaReduced(const cv::Mat& plane, int width, int height) {
    int factor = std::min(plane.cols / width, plane.rows / height) / 2;
    while (factor >= 2 && (plane.cols % factor != 0 || plane.rows % factor != 0)) --factor;
    cv::Mat source = plane;
    if (factor >= 2)
        cv::resize(plane, source, cv::Size(plane.cols / factor, plane.rows / factor), 0, 0, cv::INTER_AREA);
    cv::Mat out;
    cv::resize(source, out, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    return out;
}

std::optional<Imaging::Bitmap> reducedRGB(const heif_image* image, int width, int height) {
    if (!image || width <= 0 || height <= 0) return std::nullopt;
    if (heif_image_get_colorspace(image) != heif_colorspace_YCbCr) return std::nullopt;
    const heif_chroma chroma = heif_image_get_chroma_format(image);
    if (chroma != heif_chroma_420 && chroma != heif_chroma_422 && chroma != heif_chroma_444) return std::nullopt;

    // The encoding libheif would convert with: the picture's own, else BT.601 full range.
    YCbCrMatrix matrix;
    heif_color_profile_nclx* nclx = nullptr;
    if (heif_image_get_nclx_color_profile(image, &nclx).code == heif_error_Ok && nclx) {
        auto m = ycbcrMatrix(nclx->matrix_coefficients, nclx->full_range_flag != 0);
        heif_nclx_color_profile_free(nclx);
        if (!m) return std::nullopt;
        matrix = *m;
    }

    cv::Mat planes[3];
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int i = 0; i < 3; ++i) {
        if (heif_image_get_bits_per_pixel_range(image, channels[i]) != 8) return std::nullopt;
        int stride = 0;
        const std::uint8_t* data = heif_image_get_plane_readonly(image, channels[i], &stride);
        const int w = heif_image_get_width(image, channels[i]), h = heif_image_get_height(image, channels[i]);
        if (!data || w <= 0 || h <= 0) return std::nullopt;
        cv::Mat plane(h, w, CV_8UC1, const_cast<std::uint8_t*>(data), static_cast<std::size_t>(stride));
        planes[i] = areaReduced(plane, width, height);
    }

    Imaging::Bitmap bitmap(width, height, 3);
    Imaging::forRows(height, [&](int first, int end) {
        for (int y = first; y < end; ++y) {
            const std::uint8_t* ys = planes[0].ptr<std::uint8_t>(y);
            const std::uint8_t* cbs = planes[1].ptr<std::uint8_t>(y);
            const std::uint8_t* crs = planes[2].ptr<std::uint8_t>(y);
            std::uint8_t* out = bitmap.row(y);
            for (int x = 0; x < width; ++x) {
                const auto rgb = rgbFromYCbCr(ys[x], cbs[x], crs[x], matrix);
                std::memcpy(out + 3 * x, rgb.data(), 3);
            }
        }
    });
    return bitmap;
}

}  // namespace Extraction
