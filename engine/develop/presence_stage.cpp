// Dehaze, texture and clarity as a develop stage. Dehaze estimates the air
// light (the brightest colour of a wide blur) and the regional haze (the
// blurred darkest channel); texture and clarity compare the picture with
// fine, mid and wide blurs of itself. Blurs are linear, so the blurred
// darkest channel and the lumas of the blurred copies are blurs of single
// planes, not of whole pictures.

#include <opencv2/imgproc.hpp>

#include "engine/develop/presence.h"
#include "engine/develop/stage_kernels.h"

namespace Presence {

namespace {

// The per-channel maximum of the presence blur of the colour channels.
Develop::RGB airLight(const Imaging::Image& image) {
    cv::Mat colour = Develop::scratch(image.height(), image.width(), CV_32FC3);
    cv::cvtColor(image.mat(), colour, cv::COLOR_BGRA2BGR);  // drops alpha, keeps the channel order
    const cv::Mat blurred = Develop::presenceBlur(colour, airBlur);
    double peak[3];
    for (int c = 0; c < 3; ++c) {
        cv::Mat channel;
        cv::extractChannel(blurred, channel, c);
        cv::minMaxLoc(channel, nullptr, &peak[c]);
    }
    return {float(peak[0]), float(peak[1]), float(peak[2])};
}

Imaging::Image dehazed(const Imaging::Image& image, float amount) {
    const Develop::RGB air = airLight(image);
    cv::Mat darkest = Develop::scratch(image.height(), image.width(), CV_32F);
    const int width = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            float* o = darkest.ptr<float>(row);
            for (int col = 0; col < width; ++col) o[col] = std::min({in[col].r, in[col].g, in[col].b});
        }
    });
    const cv::Mat regional = Develop::presenceBlur(darkest, regionalBlur);
    Imaging::Image out(image.extent());
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            const float* haze = regional.ptr<float>(row);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(row);
            for (int col = 0; col < width; ++col)
                o[col] = Develop::withAlpha(dehaze(Develop::rgbOf(in[col]), haze[col], air, amount), in[col].a);
        }
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
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(row);
            const float* f = fine.ptr<float>(row);
            const float* m = mid.ptr<float>(row);
            const float* w = wide.ptr<float>(row);
            for (int col = 0; col < width; ++col) {
                const Imaging::Pixel s = in[col];
                o[col] = Develop::withAlpha(detail(Develop::rgbOf(s), f[col], m[col], w[col], p.texture, p.clarity), s.a);
            }
        }
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
