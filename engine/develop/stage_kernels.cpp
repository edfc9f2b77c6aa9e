#include "engine/develop/stage_kernels.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "engine/develop/presence.h"

namespace Develop {

Imaging::Image toLab(const Imaging::Image& image) {
    return Imaging::map(image, [](const Imaging::Pixel& p) {
        const OKLab::Lab lab = OKLab::fromSRGB(rgbOf(p));
        return Imaging::Pixel{lab.L, lab.a, lab.b, p.a};
    });
}

Imaging::Image presenceBlur(const Imaging::Image& image, double fraction) {
    const double sigma = Presence::blurSigma(fraction, image.width(), image.height());
    // Wide blurs (dozens of pixels on a preview) are taken on a picture
    // shrunk by an area average, then enlarged again: the result is smooth
    // at that scale anyway, and the kernel stays a few pixels wide.
    const int factor = int(std::floor(sigma / 2));
    if (factor < 2 || image.empty()) return Imaging::gaussianBlur(image, sigma);
    const cv::Size full(image.width(), image.height());
    const cv::Size small((full.width + factor - 1) / factor, (full.height + factor - 1) / factor);
    cv::Mat reduced, blurred, enlarged;
    cv::resize(image.mat(), reduced, small, 0, 0, cv::INTER_AREA);
    // An area average over `factor` pixels already spreads by (factor² − 1) / 12.
    const double rest = std::sqrt(std::max(sigma * sigma - (factor * factor - 1) / 12.0, 0.25)) / factor;
    const int radius = std::max(1, int(std::ceil(3 * rest)));
    cv::GaussianBlur(reduced, blurred, cv::Size(2 * radius + 1, 2 * radius + 1), rest, rest, cv::BORDER_REPLICATE);
    cv::resize(blurred, enlarged, full, 0, 0, cv::INTER_LINEAR);
    return Imaging::Image(enlarged, image.extent().x, image.extent().y);
}

}  // namespace Develop
