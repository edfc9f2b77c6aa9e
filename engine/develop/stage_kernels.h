#pragma once
// Helpers the adjustment stages are written with: per-pixel colour formulas
// lifted to whole images (alpha carried through unchanged), OKLab copies of a
// picture, and the position-aware loop with pixel centres.

#include <algorithm>
#include <cmath>
#include <vector>

#include "engine/imaging/colour/oklab.h"
#include "engine/imaging/colour/oklab_rows.h"
#include "engine/imaging/colour/rgb.h"
#include "engine/imaging/image.h"

namespace Develop {

inline Colour::RGB rgbOf(const Imaging::Pixel& p) { return {p.r, p.g, p.b}; }
inline Imaging::Pixel withAlpha(const Colour::RGB& c, float alpha) { return {c.r, c.g, c.b, alpha}; }

// out.rgb = formula(in.rgb), out.a = in.a, over the shared parallel loop.
template <class Formula>
Imaging::Image mapColour(const Imaging::Image& image, Formula&& formula) {
    return Imaging::map(image, [&](const Imaging::Pixel& p) { return withAlpha(formula(rgbOf(p)), p.a); });
}

// out.rgb = formula(in.rgb, x, y) with (x, y) the pixel's centre in picture
// coordinates (origin bottom-left, y up, centres at half-integers).
template <class Formula>
Imaging::Image mapColourAt(const Imaging::Image& image, Formula&& formula) {
    const Imaging::Rect& e = image.extent();
    return Imaging::generate(e, [&](int x, int y) {
        const Imaging::Pixel& p = image.at(x - e.x, e.y + e.height - 1 - y);
        return withAlpha(formula(rgbOf(p), float(x) + 0.5f, float(y) + 0.5f), p.a);
    });
}

// The picture in OKLab: (L, a, b) in the colour channels, alpha kept.
Imaging::Image toLab(const Imaging::Image& image);

inline OKLab::Lab labOf(const Imaging::Pixel& p) { return {p.r, p.g, p.b}; }

// Samples an OKLab picture at an offset from the pixel whose centre is (cx, cy):
// whole-pixel offsets read the pixel directly, others interpolate bilinearly;
// positions are clamped to the picture.
inline OKLab::Lab labAt(const Imaging::Image& lab, float cx, float cy, float dx, float dy) {
    const float x = cx + dx, y = cy + dy;
    if (dx == float(int(dx)) && dy == float(int(dy)))
        return labOf(Imaging::sample(lab, int(std::floor(x)), int(std::floor(y))));
    return labOf(Imaging::sampleBilinear(lab, x, y));
}

// A plane for a stage's intermediate results, its memory from the engine's
// pixel pool (fresh allocations of tens of megabytes cost a page fault per
// 4 KB on every render). Its pixels are not set.
cv::Mat scratch(int rows, int cols, int type);

// The picture in OKLab as three single-channel planes (CV_32F, rows top-down).
struct LabPlanes {
    cv::Mat L, a, b;
};
LabPlanes labPlanes(const Imaging::Image& image);
// The same written into planes the caller already holds (each the picture's
// size; they may be parts of larger planes).
void labPlanesInto(const Imaging::Image& image, LabPlanes& planes);

// The picture through `rows(L, a, b, count)`, which changes `count` OKLab
// values in place: each row goes to OKLab, through `rows` and back to sRGB
// (each channel clamped to 0…1), alpha kept.
template <class LabRows>
Imaging::Image mapLabRows(const Imaging::Image& image, LabRows&& rows) {
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        std::vector<float> L(static_cast<std::size_t>(w)), a(L.size()), b(L.size());
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            OKLab::fromSRGBRow(in, L.data(), a.data(), b.data(), w);
            rows(L.data(), a.data(), b.data(), w);
            OKLab::screenRow(L.data(), a.data(), b.data(), in, out.mutableMat().ptr<Imaging::Pixel>(row), w);
        }
    });
    return out;
}

// The picture's OKLab planes (see `labPlanes`) through `rows(L, a, b,
// count)`, which changes `count` OKLab values in place, each row then left as
// the trip back to pixels and to OKLab again would leave it
// (`OKLab::settleRow`): for a stage in OKLab that the next one continues.
template <class LabRows>
LabPlanes labPlanesThrough(const Imaging::Image& image, LabRows&& rows) {
    const int w = image.width(), h = image.height();
    LabPlanes planes{scratch(h, w, CV_32F), scratch(h, w, CV_32F), scratch(h, w, CV_32F)};
    Imaging::forRows(h, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            float* L = planes.L.ptr<float>(row);
            float* a = planes.a.ptr<float>(row);
            float* b = planes.b.ptr<float>(row);
            OKLab::fromSRGBRow(image.mat().ptr<Imaging::Pixel>(row), L, a, b, w);
            rows(L, a, b, w);
            OKLab::settleRow(L, a, b, w);
        }
    });
    return planes;
}

// Samples a single-channel plane (CV_32F) at stored column `x` and stored row
// `y` (0 = top): whole positions read the pixel, others interpolate
// bilinearly; positions are clamped to the plane.
inline float planeAt(const cv::Mat& plane, float x, float y) {
    const int last = plane.cols - 1, bottom = plane.rows - 1;
    if (x == float(int(x)) && y == float(int(y)))
        return plane.ptr<float>(std::clamp(int(y), 0, bottom))[std::clamp(int(x), 0, last)];
    const float x0 = std::floor(x), y0 = std::floor(y);
    const float fx = x - x0, fy = y - y0;
    const int c0 = std::clamp(int(x0), 0, last), c1 = std::clamp(int(x0) + 1, 0, last);
    const float* top = plane.ptr<float>(std::clamp(int(y0), 0, bottom));
    const float* below = plane.ptr<float>(std::clamp(int(y0) + 1, 0, bottom));
    return (top[c0] * (1 - fx) + top[c1] * fx) * (1 - fy) + (below[c0] * (1 - fx) + below[c1] * fx) * fy;
}

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
// ceil(3 sigma) pixels (at least 1), as `Imaging::gaussianBlur` does it.
cv::Mat blurPlane(const cv::Mat& plane, double sigma);
// The same written into `out` (the plane's size, not the plane itself; it
// may be part of a larger plane). Pixels around a `plane` that is part of a
// larger one are ignored.
void blurPlaneInto(const cv::Mat& plane, cv::Mat& out, double sigma);

// The Rec. 709 luma of a picture as one plane (CV_32F, rows top-down).
cv::Mat lumaPlane(const Imaging::Image& image);

// The presence blur: a Gaussian whose sigma is `fraction` of the picture's
// long side (edges repeated), over the picture's extent.
Imaging::Image presenceBlur(const Imaging::Image& image, double fraction);
// The same blur of a plane of any channel count (rows top-down, edges
// repeated); with `colourOnly`, of a four-channel plane's first three.
cv::Mat presenceBlur(const cv::Mat& plane, double fraction, bool colourOnly = false);

}  // namespace Develop
