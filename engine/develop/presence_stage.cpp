// Dehaze, texture and clarity as a develop stage. Dehaze estimates the air
// light (the brightest colour of a wide blur) and the regional haze (the
// blurred darkest channel); texture and clarity compare the picture with
// fine, mid and wide blurs of itself. Blurs are linear, so the blurred
// darkest channel and the lumas of the blurred copies are blurs of single
// planes, not of whole pictures.

#include <cmath>
#include <mutex>

#include <opencv2/imgproc.hpp>

#include "engine/develop/presence.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/planes.h"
#include "engine/imaging/vector_loop.h"

namespace Presence {

namespace {

// The darkest channel of `count` pixels.
VECTOR_LOOP void darkestRow(const Imaging::Pixel* __restrict in, float* __restrict out, int count) {
#pragma omp simd
    for (int col = 0; col < count; ++col) out[col] = std::min(in[col].r, std::min(in[col].g, in[col].b));
}

// `dehaze` of `count` pixels.
VECTOR_LOOP void dehazeRow(const Imaging::Pixel* __restrict in, const float* __restrict haze, Colour::RGB air,
                           float amount, Imaging::Pixel* __restrict out, int count) {
#pragma GCC ivdep
    for (int col = 0; col < count; ++col)
        out[col] = Develop::withAlpha(dehaze(Develop::rgbOf(in[col]), haze[col], air, amount), in[col].a);
}

// `detail` of `count` pixels; `out` may be `in`.
VECTOR_LOOP void detailRow(const Imaging::Pixel* in, const float* __restrict fine, const float* __restrict mid,
                           const float* __restrict wide, float texture, float clarity, Imaging::Pixel* out, int count) {
#pragma GCC ivdep  // each pixel is read before it is written
    for (int col = 0; col < count; ++col) {
        const Imaging::Pixel s = in[col];
        out[col] = Develop::withAlpha(detail(Develop::rgbOf(s), fine[col], mid[col], wide[col], texture, clarity), s.a);
    }
}

// The channels' maxima of `count` three-channel pixels, raised into `peak`.
VECTOR_LOOP void raisePeak(const float* __restrict pixels, Colour::RGB& peak, int count) {
    float r = peak.r, g = peak.g, b = peak.b;
#pragma omp simd reduction(max : r, g, b)
    for (int i = 0; i < count; ++i) {
        r = std::max(r, pixels[3 * i]);
        g = std::max(g, pixels[3 * i + 1]);
        b = std::max(b, pixels[3 * i + 2]);
    }
    peak = {r, g, b};
}

// The per-channel maximum of the presence blur of the colour channels.
Colour::RGB airLight(const Imaging::Image& image) {
    const cv::Mat blurred = Develop::presenceBlur(image.mat(), airBlur, true);
    std::mutex mutex;
    Colour::RGB peak{-INFINITY, -INFINITY, -INFINITY};
    Imaging::forRows(blurred.rows, [&](int begin, int end) {
        Colour::RGB part{-INFINITY, -INFINITY, -INFINITY};
        for (int row = begin; row < end; ++row) raisePeak(blurred.ptr<float>(row), part, blurred.cols);
        const std::lock_guard<std::mutex> lock(mutex);
        peak = {std::max(peak.r, part.r), std::max(peak.g, part.g), std::max(peak.b, part.b)};
    });
    return peak;
}

Imaging::Image dehazed(const Imaging::Image& image, float amount) {
    const Colour::RGB air = airLight(image);
    cv::Mat darkest = Imaging::scratchPlane(image.height(), image.width(), CV_32F);
    const int width = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            darkestRow(image.mat().ptr<Imaging::Pixel>(row), darkest.ptr<float>(row), width);
    });
    const cv::Mat regional = Develop::presenceBlur(darkest, regionalBlur);
    Imaging::Image out(image.extent());
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            dehazeRow(image.mat().ptr<Imaging::Pixel>(row), regional.ptr<float>(row), air, amount,
                      out.mutableMat().ptr<Imaging::Pixel>(row), width);
    });
    return out;
}

// Texture and clarity written into `target` (whose pixels nobody else holds)
// or into a new picture when `target` is the input itself.
Imaging::Image detailed(const Imaging::Image& image, const Parameters& p, bool ownsPixels) {
    const cv::Mat y = Develop::lumaPlane(image);
    const cv::Mat fine = p.wantsTexture() ? Develop::presenceBlur(y, fineBlur) : y;
    const cv::Mat mid = p.wantsTexture() ? Develop::presenceBlur(y, midBlur) : y;
    const cv::Mat wide = p.wantsClarity() ? Develop::presenceBlur(y, wideBlur) : y;
    Imaging::Image out = ownsPixels ? image : Imaging::Image(image.extent());
    const int width = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            detailRow(image.mat().ptr<Imaging::Pixel>(row), fine.ptr<float>(row), mid.ptr<float>(row), wide.ptr<float>(row),
                      p.texture, p.clarity, out.mutableMat().ptr<Imaging::Pixel>(row), width);
    });
    return out;
}

}  // namespace

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    const std::optional<Parameters> p = parameters(look);
    if (!p || image.empty()) return std::nullopt;
    const bool dehazes = p->dehaze != 0;
    Imaging::Image result = dehazes ? dehazed(image, p->dehaze) : image;
    if (p->wantsTexture() || p->wantsClarity()) result = detailed(result, *p, dehazes);
    return result;
}

}  // namespace Presence
