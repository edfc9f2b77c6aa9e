#pragma once
// Single-channel planes (CV_32F, rows top-down) for the stages that work on
// one channel at a time: scratch planes from the pixel pool, samples at a
// fixed offset read from two rows of a padded plane, and the plane blur.

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>

namespace Imaging {

// A plane for a stage's intermediate results, its memory from the engine's
// pixel pool (fresh allocations of tens of megabytes cost a page fault per
// 4 KB on every render). Its pixels are not set.
cv::Mat scratchPlane(int rows, int cols, int type);

// A fixed offset from every pixel, given in picture terms (x right, y up),
// kept in stored terms (rows down): the whole-pixel offset of the sample's
// top-left neighbour and the interpolation weights towards the next column
// and row. Row loops read a sample at it from two rows of a padded plane.
struct Offset {
    int col = 0, row = 0;
    float fx = 0, fy = 0;
    static Offset of(float dx, float dy) {
        Offset o;
        o.col = int(std::floor(dx));
        o.row = int(std::floor(-dy));
        o.fx = dx - float(o.col);
        o.fy = -dy - float(o.row);
        return o;
    }
};

// The bilinear sample at column x between two rows (weights towards the
// next column and the lower row); whole offsets read the pixel itself.
inline float bilinear(const float* top, const float* bottom, int x, float fx, float fy) {
    return (top[x] * (1 - fx) + top[x + 1] * fx) * (1 - fy) + (bottom[x] * (1 - fx) + bottom[x + 1] * fx) * fy;
}

// A plane of the picture's size with `margin` extra pixels on every side,
// which `repeatEdges` fills with the nearest edge pixels: samples around the
// picture read what clamping to its edges would, without a test per pixel.
struct PaddedPlane {
    cv::Mat plane;
    int margin = 0;
    PaddedPlane(int rows, int cols, int m);
    // The picture's part, to be written first.
    cv::Mat inner() const { return plane(cv::Rect(margin, margin, plane.cols - 2 * margin, plane.rows - 2 * margin)); }
    void repeatEdges();
    // Stored row `row` of the picture shifted by `offset` (and `down` rows
    // more), at column 0.
    const float* at(int row, const Offset& offset, int down = 0) const {
        return plane.ptr<float>(row + margin + offset.row + down) + margin + offset.col;
    }
};

// The margin a padded plane needs for offsets up to `reach` pixels.
inline int marginFor(float reach) { return int(std::ceil(reach)) + 2; }

// Gaussian blur of one plane with edges repeated, the kernel reaching
// ceil(3 sigma) pixels (at least 1), as `gaussianBlur` does it.
cv::Mat blurPlane(const cv::Mat& plane, double sigma);
// The same written into `out` (the plane's size, not the plane itself; it
// may be part of a larger plane). Pixels around a `plane` that is part of a
// larger one are ignored.
void blurPlaneInto(const cv::Mat& plane, cv::Mat& out, double sigma);

}  // namespace Imaging
