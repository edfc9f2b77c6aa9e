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
#include "engine/imaging/planes.h"

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
    LabPlanes planes{Imaging::scratchPlane(h, w, CV_32F), Imaging::scratchPlane(h, w, CV_32F), Imaging::scratchPlane(h, w, CV_32F)};
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

// The Rec. 709 luma of a picture as one plane (CV_32F, rows top-down).
cv::Mat lumaPlane(const Imaging::Image& image);

// The presence blur: a Gaussian whose sigma is `fraction` of the picture's
// long side (edges repeated), over the picture's extent.
Imaging::Image presenceBlur(const Imaging::Image& image, double fraction);
// The same blur of a plane of any channel count (rows top-down, edges
// repeated); with `colourOnly`, of a four-channel plane's first three.
cv::Mat presenceBlur(const cv::Mat& plane, double fraction, bool colourOnly = false);

}  // namespace Develop
