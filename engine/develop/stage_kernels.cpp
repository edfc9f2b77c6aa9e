#include "engine/develop/stage_kernels.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "engine/imaging/colour/oklab_rows.h"
#include "engine/develop/presence.h"

namespace Develop {

Imaging::Image toLab(const Imaging::Image& image) {
    return Imaging::map(image, [](const Imaging::Pixel& p) {
        const OKLab::Lab lab = OKLab::fromSRGB(rgbOf(p));
        return Imaging::Pixel{lab.L, lab.a, lab.b, p.a};
    });
}

LabPlanes labPlanes(const Imaging::Image& image) {
    const int w = image.width(), h = image.height();
    LabPlanes planes{Imaging::scratchPlane(h, w, CV_32F), Imaging::scratchPlane(h, w, CV_32F), Imaging::scratchPlane(h, w, CV_32F)};
    labPlanesInto(image, planes);
    return planes;
}

void labPlanesInto(const Imaging::Image& image, LabPlanes& planes) {
    const int w = image.width(), h = image.height();
    planes.L.create(h, w, CV_32F);
    planes.a.create(h, w, CV_32F);
    planes.b.create(h, w, CV_32F);
    Imaging::forRows(h, [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            OKLab::fromSRGBRow(image.mat().ptr<Imaging::Pixel>(row), planes.L.ptr<float>(row), planes.a.ptr<float>(row),
                               planes.b.ptr<float>(row), w);
    });
}

cv::Mat lumaPlane(const Imaging::Image& image) {
    cv::Mat out = Imaging::scratchPlane(image.height(), image.width(), CV_32F);
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            float* o = out.ptr<float>(row);
            for (int col = 0; col < w; ++col) o[col] = luma709(rgbOf(in[col]));
        }
    });
    return out;
}

namespace {

// The mean of each `factor` × `factor` block of a plane into `reduced`
// (one pixel per block, the plane's size rounded up to whole blocks); the
// last blocks' missing pixels repeat the plane's edges. Whole blocks take
// OpenCV's integer area reduction, much faster than the general one.
void shrinkByBlocks(const cv::Mat& plane, int factor, cv::Mat& reduced) {
    const int wholeCols = plane.cols / factor, wholeRows = plane.rows / factor;
    const int cols = (plane.cols + factor - 1) / factor, rows = (plane.rows + factor - 1) / factor;
    reduced.create(rows, cols, plane.type());
    // Blocks [col0, col1) × [row0, row1) of the reduced plane from the part of the plane they cover.
    const auto shrink = [&](int col0, int col1, int row0, int row1) {
        if (col1 <= col0 || row1 <= row0) return;
        const cv::Rect source(col0 * factor, row0 * factor, std::min(col1 * factor, plane.cols) - col0 * factor,
                              std::min(row1 * factor, plane.rows) - row0 * factor);
        cv::Mat part = plane(source);
        if (source.width < (col1 - col0) * factor || source.height < (row1 - row0) * factor) {
            cv::Mat padded;
            cv::copyMakeBorder(part, padded, 0, (row1 - row0) * factor - source.height, 0,
                               (col1 - col0) * factor - source.width, cv::BORDER_REPLICATE);
            part = padded;
        }
        cv::Mat target = reduced(cv::Rect(col0, row0, col1 - col0, row1 - row0));
        cv::resize(part, target, target.size(), 0, 0, cv::INTER_AREA);
    };
    shrink(0, wholeCols, 0, wholeRows);
    shrink(wholeCols, cols, 0, wholeRows);  // the last column of blocks, when partial
    shrink(0, cols, wholeRows, rows);       // the last row of blocks, when partial
}

}  // namespace

cv::Mat presenceBlur(const cv::Mat& plane, double fraction, bool colourOnly) {
    if (plane.empty()) return plane;
    const double sigma = Presence::blurSigma(fraction, plane.cols, plane.rows);
    // Every step works on each channel alone, so dropping alpha early
    // changes nothing in the colours.
    const auto colours = [colourOnly](const cv::Mat& m) {
        if (!colourOnly) return m;
        cv::Mat out;
        cv::cvtColor(m, out, cv::COLOR_BGRA2BGR);  // drops the fourth channel, keeps the order
        return out;
    };
    // Wide blurs (dozens of pixels on a preview) are taken on a picture
    // shrunk by an area average over blocks, then enlarged again: the result
    // is smooth at that scale anyway, and the kernel stays a few pixels wide.
    const int factor = int(std::floor(sigma / 2));
    if (factor < 2) return Imaging::blurPlane(colours(plane), sigma);
    cv::Mat reduced, blurred;
    shrinkByBlocks(plane, factor, reduced);
    reduced = colours(reduced);
    // An area average over `factor` pixels already spreads by (factor² − 1) / 12.
    const double rest = std::sqrt(std::max(sigma * sigma - (factor * factor - 1) / 12.0, 0.25)) / factor;
    const int radius = std::max(1, int(std::ceil(3 * rest)));
    cv::GaussianBlur(reduced, blurred, cv::Size(2 * radius + 1, 2 * radius + 1), rest, rest, cv::BORDER_REPLICATE);
    // Enlarged by the block size exactly, so that each block's mean sits at
    // its centre, then cut to the plane.
    cv::Mat enlarged = Imaging::scratchPlane(blurred.rows * factor, blurred.cols * factor, blurred.type());
    cv::resize(blurred, enlarged, enlarged.size(), 0, 0, cv::INTER_LINEAR);
    return enlarged(cv::Rect(0, 0, plane.cols, plane.rows));
}

Imaging::Image presenceBlur(const Imaging::Image& image, double fraction) {
    if (image.empty()) return image;
    return Imaging::Image(presenceBlur(image.mat(), fraction), image.extent().x, image.extent().y);
}

}  // namespace Develop
