// Luminance and colour noise reduction as a develop stage: an edge-preserving
// 5 × 5 smoothing of OKLab lightness, and of the colour read from a softened
// copy, each weighted by how alike the samples' lightness is.
//
// The stage evaluates `denoise` (detail.h) for whole rows at once: every one
// of the 25 samples sits at the same offset from each pixel, so its whole-
// pixel part and its interpolation weights are fixed for the picture, and a
// sample is two rows of a plane (padded by repeated edges) interpolated with
// constant weights. The spatial part of each weight is computed once per
// sample; the range part exp(−d²) comes from a table.

#include <array>
#include <cmath>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/develop/detail.h"
#include "engine/develop/stage_kernels.h"

namespace Detail {

namespace {

// exp(−t) for t ≥ 0, interpolated linearly between samples 1/256 apart:
// the relative error of each weight stays below (1/256)² / 8 ≈ 2e-6, which
// moves a weighted mean by at most that fraction of its spread. Beyond
// t = 32 (exp(−32) ≈ 1e-14, far below the 0.0001 every mean carries) the
// weight is 0.
class RangeWeight {
public:
    static constexpr int perUnit = 256;
    static constexpr float limit = 32;

    RangeWeight() {
        for (std::size_t i = 0; i < table_.size(); ++i) table_[i] = std::exp(-float(i) / perUnit);
    }
    float operator()(float t) const {
        if (!(t < limit)) return 0;
        const float position = t * perUnit;
        const int i = int(position);
        const float f = position - float(i);
        return table_[std::size_t(i)] + (table_[std::size_t(i) + 1] - table_[std::size_t(i)]) * f;
    }

private:
    std::array<float, std::size_t(limit) * perUnit + 2> table_{};
};

const RangeWeight rangeWeight;

// One of the 25 samples in stored coordinates (rows go down): the whole-pixel
// offset of its top-left neighbour, the interpolation weights towards the
// next column and row, and its spatial weight exp(−|o|² / 4).
struct Tap {
    int col = 0, row = 0;
    float fx = 0, fy = 0;
    float spatial = 0;
};

std::vector<Tap> tapsOf(float step) {
    std::vector<Tap> taps;
    for (int oy = -2; oy <= 2; ++oy)
        for (int ox = -2; ox <= 2; ++ox) {
            const float dx = float(ox) * step, dy = -float(oy) * step;  // picture y goes up, rows go down
            Tap t;
            t.col = int(std::floor(dx));
            t.row = int(std::floor(dy));
            t.fx = dx - float(t.col);
            t.fy = dy - float(t.row);
            t.spatial = std::exp(-float(ox * ox + oy * oy) / 4.0f);
            taps.push_back(t);
        }
    return taps;
}

// A plane with `margin` repeated edge pixels on every side.
struct Padded {
    cv::Mat plane;
    int margin = 0;
    Padded(const cv::Mat& source, int m) : margin(m) {
        cv::copyMakeBorder(source, plane, m, m, m, m, cv::BORDER_REPLICATE);
    }
    // Stored row `row` of the picture shifted by `tap`, at column 0.
    const float* at(int row, const Tap& tap, int down = 0) const {
        return plane.ptr<float>(row + margin + tap.row + down) + margin + tap.col;
    }
};

inline float bilinear(const float* top, const float* bottom, int x, float fx, float fy) {
    return (top[x] * (1 - fx) + top[x + 1] * fx) * (1 - fy) + (bottom[x] * (1 - fx) + bottom[x + 1] * fx) * fy;
}

// Adds one sample's weighted values to a row's sums: the weight compares
// the `guide` plane at the sample with `centre`, the sums collect the
// `carried` planes (the guide itself when none are given).
template <int Carried>
void accumulate(const Tap& tap, int row, int width, const Padded& guide, const std::array<const Padded*, Carried>& carried,
                const float* centre, float inverseRange, float* weights, float* guideSum, std::array<float*, Carried> sums) {
    const float* g0 = guide.at(row, tap);
    const float* g1 = guide.at(row, tap, 1);
    std::array<const float*, Carried> c0, c1;
    for (int k = 0; k < Carried; ++k) {
        c0[k] = carried[k]->at(row, tap);
        c1[k] = carried[k]->at(row, tap, 1);
    }
    for (int x = 0; x < width; ++x) {
        const float v = bilinear(g0, g1, x, tap.fx, tap.fy);
        const float d = (v - centre[x]) * inverseRange;
        const float w = tap.spatial * rangeWeight(d * d);
        weights[x] += w;
        if constexpr (Carried == 0) guideSum[x] += w * v;
        for (int k = 0; k < Carried; ++k) sums[k][x] += w * bilinear(c0[k], c1[k], x, tap.fx, tap.fy);
    }
}

int marginOf(float step) { return int(std::ceil(2 * step)) + 2; }

}  // namespace

std::optional<Imaging::Image> reduceNoise(const Develop::Look& look, const Imaging::Image& image, double scale) {
    const std::optional<NoiseParameters> p = noiseParameters(look, scale);
    if (!p || image.empty()) return std::nullopt;
    const Develop::LabPlanes lab = Develop::labPlanes(image);
    const int width = image.width();

    std::optional<Padded> lightness;
    std::vector<Tap> lightnessTaps;
    if (p->lumStep > 0) {
        lightness.emplace(lab.L, marginOf(p->lumStep));
        lightnessTaps = tapsOf(p->lumStep);
    }
    std::optional<Padded> softL, softA, softB;
    std::vector<Tap> colourTaps;
    if (p->colStep > 0) {
        const int m = marginOf(p->colStep);
        softL.emplace(Develop::blurPlane(lab.L, p->softRadius), m);
        softA.emplace(Develop::blurPlane(lab.a, p->softRadius), m);
        softB.emplace(Develop::blurPlane(lab.b, p->softRadius), m);
        colourTaps = tapsOf(p->colStep);
    }

    Imaging::Image out(image.extent());
    Imaging::forRows(image.height(), [&](int begin, int end) {
        const std::size_t n = std::size_t(width);
        std::vector<float> lumWeights(n), lumSum(n), colWeights(n), sumA(n), sumB(n);
        for (int row = begin; row < end; ++row) {
            const float* L = lab.L.ptr<float>(row);
            const float* a = lab.a.ptr<float>(row);
            const float* b = lab.b.ptr<float>(row);
            std::fill(lumWeights.begin(), lumWeights.end(), 0.0f);
            std::fill(lumSum.begin(), lumSum.end(), 0.0f);
            std::fill(colWeights.begin(), colWeights.end(), 0.0f);
            std::fill(sumA.begin(), sumA.end(), 0.0f);
            std::fill(sumB.begin(), sumB.end(), 0.0f);
            for (const Tap& tap : lightnessTaps)
                accumulate<0>(tap, row, width, *lightness, {}, L, 1 / p->lumRange, lumWeights.data(), lumSum.data(), {});
            for (const Tap& tap : colourTaps)
                accumulate<2>(tap, row, width, *softL, {&*softA, &*softB}, L, 1 / p->colRange, colWeights.data(), nullptr,
                              {sumA.data(), sumB.data()});
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(row);
            for (int x = 0; x < width; ++x) {
                OKLab::Lab c{L[x], a[x], b[x]};
                if (p->lumStep > 0) c.L = (0.0001f * L[x] + lumSum[x]) / (0.0001f + lumWeights[x]);
                if (p->colStep > 0) {
                    c.a = (0.0001f * a[x] + sumA[x]) / (0.0001f + colWeights[x]);
                    c.b = (0.0001f * b[x] + sumB[x]) / (0.0001f + colWeights[x]);
                }
                o[x] = Develop::withAlpha(OKLab::screen(c), in[x].a);
            }
        }
    });
    return out;
}

}  // namespace Detail
