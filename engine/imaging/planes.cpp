#include "engine/imaging/planes.h"

#include <opencv2/imgproc.hpp>

#include "engine/imaging/pixel_pool.h"

namespace Imaging {

cv::Mat scratchPlane(int rows, int cols, int type) {
    cv::Mat plane = pooledMat();
    plane.create(rows, cols, type);
    return plane;
}

PaddedPlane::PaddedPlane(int rows, int cols, int m) : plane(scratchPlane(rows + 2 * m, cols + 2 * m, CV_32F)), margin(m) {}

void PaddedPlane::repeatEdges() {
    const int m = margin, w = plane.cols - 2 * m, h = plane.rows - 2 * m;
    for (int row = m; row < m + h; ++row) {
        float* p = plane.ptr<float>(row);
        std::fill(p, p + m, p[m]);
        std::fill(p + m + w, p + 2 * m + w, p[m + w - 1]);
    }
    for (int row = 0; row < m; ++row) {
        plane.row(m).copyTo(plane.row(row));
        plane.row(m + h - 1).copyTo(plane.row(m + h + row));
    }
}

cv::Mat blurPlane(const cv::Mat& plane, double sigma) {
    if (plane.empty() || !(sigma > 0)) return plane;
    cv::Mat out = scratchPlane(plane.rows, plane.cols, plane.type());
    blurPlaneInto(plane, out, sigma);
    return out;
}

void blurPlaneInto(const cv::Mat& plane, cv::Mat& out, double sigma) {
    if (plane.empty() || !(sigma > 0)) {
        plane.copyTo(out);
        return;
    }
    const int radius = std::max(1, int(std::ceil(3 * sigma)));
    const cv::Size kernel(2 * radius + 1, 2 * radius + 1);
    out.create(plane.size(), plane.type());
    // Bands of rows are blurred in parallel, each from its own rows and the
    // `radius` rows around it, which is all that a blur of the whole plane
    // reads for them: the values are the same.
    const int rows = plane.rows, band = std::max(64, 4 * radius);
    const int bands = (rows + band - 1) / band;
    cv::parallel_for_(cv::Range(0, bands), [&](const cv::Range& range) {
        cv::Mat blurred;
        for (int i = range.start; i < range.end; ++i) {
            const int top = i * band, bottom = std::min(rows, top + band);
            const int from = std::max(0, top - radius), to = std::min(rows, bottom + radius);
            cv::GaussianBlur(plane.rowRange(from, to), blurred, kernel, sigma, sigma, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
            blurred.rowRange(top - from, bottom - from).copyTo(out.rowRange(top, bottom));
        }
    });
}

}  // namespace Imaging
