// Luminance and colour noise reduction as a develop stage: an edge-preserving
// 5 × 5 smoothing of OKLab lightness, and of the colour read from a softened
// copy, each weighted by how alike the samples' lightness is.
//
// The stage evaluates `denoise` (detail.h) for whole rows at once: every one
// of the 25 samples sits at the same offset from each pixel, so its whole-
// pixel part and its interpolation weights are fixed for the picture, and a
// sample is two rows of a plane (padded by repeated edges) interpolated with
// constant weights. The spatial part of each weight is computed once per
// sample; the range part exp(−d²) is a short polynomial. Both, and the
// weighted mean, are the inline parts of `denoise`'s formula (detail.h).
//
// The bilinear interpolation is split in two. Its horizontal part depends
// only on the sample's column (five of them) and the source row, and every
// source row is read by about ten (output row, sample row) pairs: each row is
// interpolated once per column, into a window of rows that slides down the
// picture with the output row (`RowWindow`), and a sample is then a vertical
// interpolation of two window rows. These are the operations of the bilinear
// formula in its order (FMA stays off, see vector_loop.h), so every sample
// keeps its bits. The picture is worked on in strips of columns so that a
// window stays in cache, and in bands of rows, each filling its windows afresh.

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/develop/detail.h"
#include "engine/imaging/colour/oklab_rows.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/planes.h"
#include "engine/imaging/fast_math.h"
#include "engine/imaging/vector_loop.h"

namespace Detail {

namespace {

// Columns of a strip: a window holds (rows the samples span) × 5 rows of
// this many floats per plane, a few hundred kilobytes at most.
constexpr int kStripWidth = 512;

// One of the 25 samples: where it lies from each pixel, which of the five
// column offsets it reads (0 … 4, left to right) and its spatial weight
// exp(−|o|² / 4).
struct Tap {
    Imaging::Offset offset;
    int column = 0;
    float spatial = 0;
};

// The 25 samples at one spacing and what they read: the five column offsets
// (whole part and weight, no row part) and the rows from `firstRow` to
// `lastRow` around an output row (the lower rows of the interpolated pairs
// included).
struct Taps {
    std::vector<Tap> taps;
    std::array<Imaging::Offset, 5> columns;
    int firstRow = 0, lastRow = 0;
    int windowRows() const { return lastRow - firstRow + 1; }
};

Taps tapsOf(float step) {
    Taps t;
    for (int oy = -2; oy <= 2; ++oy)
        for (int ox = -2; ox <= 2; ++ox) {
            const Imaging::Offset offset = Imaging::Offset::of(float(ox) * step, float(oy) * step);
            t.taps.push_back({offset, ox + 2, spatialWeight(ox, oy)});
            t.columns[std::size_t(ox + 2)] = {offset.col, 0, offset.fx, 0};
        }
    const auto [lowest, highest] = std::minmax_element(t.taps.begin(), t.taps.end(),
                                                       [](const Tap& a, const Tap& b) { return a.offset.row < b.offset.row; });
    t.firstRow = lowest->offset.row;
    t.lastRow = highest->offset.row + 1;
    return t;
}

// The horizontal half of the bilinear sample, for a whole row.
VECTOR_LOOP void interpolateRow(const float* __restrict row, float fx, float* __restrict out, int width) {
#pragma omp simd
    for (int x = 0; x < width; ++x) out[x] = row[x] * (1 - fx) + row[x + 1] * fx;
}

// One plane's rows interpolated horizontally at the five column offsets of a
// set of samples, over columns `x0` … `x0 + width − 1`: the rows the samples
// of one output row read. Output rows are taken in order; moving down
// interpolates only the rows new to the window, which replace the rows left
// behind in a ring of `taps.windowRows()` × 5 rows held in `buffer`.
class RowWindow {
public:
    RowWindow(const Imaging::PaddedPlane& plane, const Taps& taps, int x0, int width, float* buffer)
        : plane_(plane), taps_(taps), x0_(x0), width_(width), buffer_(buffer) {}

    // The floats a window needs.
    static std::size_t size(const Taps& taps, int width) { return std::size_t(taps.windowRows()) * 5 * std::size_t(width); }

    // Makes the rows that output row `row` reads available.
    void moveTo(int row) {
        const int first = row + taps_.firstRow, last = row + taps_.lastRow;
        for (int r = std::max(next_, first); r <= last; ++r) interpolate(r);
        next_ = last + 1;
    }

    // Picture row `row` (rows of the margin beyond the edges) interpolated at
    // column offset `column`, at the strip's first column.
    const float* at(int column, int row) const { return slot(column, row); }

private:
    float* slot(int column, int row) const {
        // Padded rows are never negative.
        const int ring = (row + plane_.margin) % taps_.windowRows();
        return buffer_ + (std::size_t(ring) * 5 + std::size_t(column)) * std::size_t(width_);
    }
    void interpolate(int row) {
        for (int column = 0; column < 5; ++column) {
            const Imaging::Offset& offset = taps_.columns[std::size_t(column)];
            interpolateRow(plane_.at(row, offset) + x0_, offset.fx, slot(column, row), width_);
        }
    }

    const Imaging::PaddedPlane& plane_;
    const Taps& taps_;
    int x0_, width_;
    float* buffer_;
    int next_ = INT_MIN;  // the first row not interpolated yet
};

// The vertical half of the bilinear sample: between two window rows.
inline float between(const float* top, const float* bottom, int x, float fy) { return top[x] * (1 - fy) + bottom[x] * fy; }

// Adds one sample's weighted lightness to a row's sums: `top` and `bottom`
// are the window rows above and below the sample.
VECTOR_LOOP void addLightness(const float* __restrict top, const float* __restrict bottom, float fy, float spatial,
                              const float* __restrict centre, float inverseRange, float* __restrict weights,
                              float* __restrict sum, int width) {
#pragma omp simd
    for (int x = 0; x < width; ++x) {
        const float v = between(top, bottom, x, fy);
        const float w = sampleWeight(spatial, v, centre[x], inverseRange);
        weights[x] += w;
        sum[x] += w * v;
    }
}

// The window rows one colour sample reads: above and below it, in the
// softened lightness and the two colour planes.
struct ColourRows {
    const float *l0, *l1, *a0, *a1, *b0, *b1;
};

// Adds one sample's weighted colour to a row's sums; the weight compares the
// softened lightness at the sample with the pixel's own.
VECTOR_LOOP void addColour(ColourRows rows, float fy, float spatial, const float* __restrict centre, float inverseRange,
                           float* __restrict weights, float* __restrict sumA, float* __restrict sumB, int width) {
    const float* __restrict l0 = rows.l0;
    const float* __restrict l1 = rows.l1;
    const float* __restrict a0 = rows.a0;
    const float* __restrict a1 = rows.a1;
    const float* __restrict b0 = rows.b0;
    const float* __restrict b1 = rows.b1;
#pragma omp simd
    for (int x = 0; x < width; ++x) {
        const float w = sampleWeight(spatial, between(l0, l1, x, fy), centre[x], inverseRange);
        weights[x] += w;
        sumA[x] += w * between(a0, a1, x, fy);
        sumB[x] += w * between(b0, b1, x, fy);
    }
}

// The weighted mean of a row's samples and the pixel's own value (weight
// 0.0001), written over the sum.
VECTOR_LOOP void meanInto(float* __restrict sum, const float* __restrict weights, const float* __restrict own, int width) {
#pragma omp simd
    for (int x = 0; x < width; ++x) sum[x] = smoothedMean(own[x], sum[x], weights[x]);
}

// The rows of a band, the parallel loop's unit. A band's windows read
// `windowRows() − 1` rows beyond the band's own: bands of at least 32 rows
// and four times that, so that these add at most a quarter to the
// interpolation.
int bandRows(const std::optional<Taps>& lightness, const std::optional<Taps>& colour) {
    int extra = 0;
    for (const std::optional<Taps>* taps : {&lightness, &colour})
        if (*taps) extra = std::max(extra, (*taps)->windowRows() - 1);
    return std::max(32, 4 * extra);
}

// What the rows of the stage read. The taps of a half that is off are absent
// (and for colour, the softened planes too).
struct Inputs {
    const Imaging::Image& image;
    const Develop::LabPlanes& lab;
    const Imaging::PaddedPlane& lightness;
    const std::optional<Imaging::PaddedPlane>& softL;
    const std::optional<Imaging::PaddedPlane>& softA;
    const std::optional<Imaging::PaddedPlane>& softB;
    const std::optional<Taps>& lightnessTaps;
    const std::optional<Taps>& colourTaps;
    float lumRange, colRange;

    // The floats the windows of a strip need.
    std::size_t windowSize(int width) const {
        return (lightnessTaps ? RowWindow::size(*lightnessTaps, width) : 0) +
               (colourTaps ? 3 * RowWindow::size(*colourTaps, width) : 0);
    }
};

// Smooths rows `begin` … `end` − 1 at columns `x0` … `x0 + width` − 1 into
// `out`, with `buffer` (`in.windowSize(width)` floats) for the windows.
void smoothStrip(const Inputs& in, int begin, int end, int x0, int width, float* buffer, Imaging::Image& out) {
    std::optional<RowWindow> lum, softL, softA, softB;
    if (in.lightnessTaps) {
        lum.emplace(in.lightness, *in.lightnessTaps, x0, width, buffer);
        buffer += RowWindow::size(*in.lightnessTaps, width);
    }
    if (in.colourTaps) {
        const std::size_t size = RowWindow::size(*in.colourTaps, width);
        softL.emplace(*in.softL, *in.colourTaps, x0, width, buffer);
        softA.emplace(*in.softA, *in.colourTaps, x0, width, buffer + size);
        softB.emplace(*in.softB, *in.colourTaps, x0, width, buffer + 2 * size);
    }
    const std::size_t n = std::size_t(width);
    std::vector<float> lumWeights(n), lumSum(n), colWeights(n), sumA(n), sumB(n);
    for (int row = begin; row < end; ++row) {
        const float* L = in.lab.L.ptr<float>(row) + x0;
        const float* a = in.lab.a.ptr<float>(row) + x0;
        const float* b = in.lab.b.ptr<float>(row) + x0;
        std::fill(lumWeights.begin(), lumWeights.end(), 0.0f);
        std::fill(lumSum.begin(), lumSum.end(), 0.0f);
        std::fill(colWeights.begin(), colWeights.end(), 0.0f);
        std::fill(sumA.begin(), sumA.end(), 0.0f);
        std::fill(sumB.begin(), sumB.end(), 0.0f);
        if (lum) {
            lum->moveTo(row);
            for (const Tap& tap : in.lightnessTaps->taps) {
                const int r = row + tap.offset.row;
                addLightness(lum->at(tap.column, r), lum->at(tap.column, r + 1), tap.offset.fy, tap.spatial, L,
                             1 / in.lumRange, lumWeights.data(), lumSum.data(), width);
            }
        }
        if (softL) {
            softL->moveTo(row);
            softA->moveTo(row);
            softB->moveTo(row);
            for (const Tap& tap : in.colourTaps->taps) {
                const int r = row + tap.offset.row, c = tap.column;
                const ColourRows rows{softL->at(c, r), softL->at(c, r + 1), softA->at(c, r),
                                      softA->at(c, r + 1), softB->at(c, r), softB->at(c, r + 1)};
                addColour(rows, tap.offset.fy, tap.spatial, L, 1 / in.colRange, colWeights.data(), sumA.data(), sumB.data(),
                          width);
            }
        }
        // The smoothed values (or the pixel's own for a half that is off)
        // overwrite the sums, then the row goes back to sRGB at once.
        if (lum)
            meanInto(lumSum.data(), lumWeights.data(), L, width);
        else
            std::copy(L, L + width, lumSum.begin());
        if (softL) {
            meanInto(sumA.data(), colWeights.data(), a, width);
            meanInto(sumB.data(), colWeights.data(), b, width);
        } else {
            std::copy(a, a + width, sumA.begin());
            std::copy(b, b + width, sumB.begin());
        }
        OKLab::screenRow(lumSum.data(), sumA.data(), sumB.data(), in.image.mat().ptr<Imaging::Pixel>(row) + x0,
                         out.mutableMat().ptr<Imaging::Pixel>(row) + x0, width);
    }
}

}  // namespace

std::optional<Imaging::Image> reduceNoise(const Develop::Look& look, const Imaging::Image& image, double scale) {
    const std::optional<NoiseParameters> p = noiseParameters(look, scale);
    if (!p || image.empty()) return std::nullopt;
    const int width = image.width(), height = image.height();
    // Lightness with room for the samples around the edges, colour without.
    const int margin = std::max(p->lumStep > 0 ? Imaging::marginFor(2 * p->lumStep) : 0, p->colStep > 0 ? Imaging::marginFor(2 * p->colStep) : 0);
    Imaging::PaddedPlane lightness(height, width, margin);
    Develop::LabPlanes lab{lightness.inner(), Imaging::scratchPlane(height, width, CV_32F), Imaging::scratchPlane(height, width, CV_32F)};
    Develop::labPlanesInto(image, lab);
    lightness.repeatEdges();
    std::optional<Taps> lightnessTaps;
    if (p->lumStep > 0) lightnessTaps = tapsOf(p->lumStep);

    std::optional<Imaging::PaddedPlane> softL, softA, softB;
    std::optional<Taps> colourTaps;
    if (p->colStep > 0) {
        for (auto [soft, plane] : {std::pair{&softL, &lab.L}, std::pair{&softA, &lab.a}, std::pair{&softB, &lab.b}}) {
            soft->emplace(height, width, margin);
            cv::Mat inner = (*soft)->inner();
            Imaging::blurPlaneInto(*plane, inner, p->softRadius);
            (*soft)->repeatEdges();
        }
        colourTaps = tapsOf(p->colStep);
    }

    const Inputs in{image, lab, lightness, softL, softA, softB, lightnessTaps, colourTaps, p->lumRange, p->colRange};
    const int band = bandRows(lightnessTaps, colourTaps), stripWidth = std::min(width, kStripWidth);
    Imaging::Image out(image.extent());
    Imaging::forRows((height + band - 1) / band, [&](int firstBand, int endBand) {
        const int begin = firstBand * band, end = std::min(height, endBand * band);
        thread_local std::vector<float> windows;
        windows.resize(in.windowSize(stripWidth));
        for (int x0 = 0; x0 < width; x0 += stripWidth)
            smoothStrip(in, begin, end, x0, std::min(stripWidth, width - x0), windows.data(), out);
    });
    return out;
}

}  // namespace Detail
