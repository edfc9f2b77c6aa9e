// Luminance and colour noise reduction as a develop stage: an edge-preserving
// 5 × 5 smoothing of OKLab lightness, and of the colour read from a softened
// copy, each weighted by how alike the samples' lightness is.
//
// The stage evaluates `denoise` (detail.h) for whole rows at once: every one
// of the 25 samples sits at the same offset from each pixel, so its whole-
// pixel part and its interpolation weights are fixed for the picture, and a
// sample is two rows of a plane (padded by repeated edges) interpolated with
// constant weights. The spatial part of each weight is computed once per
// sample; the range part exp(−d²) is a short polynomial.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include <opencv2/core.hpp>

#include "engine/develop/detail.h"
#include "engine/develop/oklab_rows.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/fast_math.h"
#include "engine/imaging/vector_loop.h"

namespace Detail {

namespace {

// exp(−t) for t ≥ 0 without a library call or a branch, so that whole
// rows vectorise: `FastMath::exp2` of −t·log2 e (relative error below 1e-6 —
// it moves a weighted mean by at most that fraction of its spread). t is
// capped at 80, where exp(−80) ≈ 2e-35 is nothing next to the 0.0001 every
// mean carries.
inline float rangeWeight(float t) {
    // The cap as an integer minimum: for floats ≥ 0 the bit patterns are in
    // the same order as the values (and a NaN counts as far apart).
    const std::int32_t bits = std::bit_cast<std::int32_t>(t), cap = std::bit_cast<std::int32_t>(80.0f);
    const float capped = std::bit_cast<float>(bits < cap ? bits : cap);
    return FastMath::exp2(-capped * 1.44269504f);
}

// One of the 25 samples: where it lies from each pixel and its spatial
// weight exp(−|o|² / 4).
struct Tap {
    Develop::Offset offset;
    float spatial = 0;
};

std::vector<Tap> tapsOf(float step) {
    std::vector<Tap> taps;
    for (int oy = -2; oy <= 2; ++oy)
        for (int ox = -2; ox <= 2; ++ox) {
            const Develop::Offset offset = Develop::Offset::of(float(ox) * step, float(oy) * step);
            taps.push_back({offset, std::exp(-float(ox * ox + oy * oy) / 4.0f)});
        }
    return taps;
}

// Adds one sample's weighted lightness to a row's sums.
VECTOR_LOOP void addLightness(const Tap& tap, const Develop::PaddedPlane& lightness, int row, const float* __restrict centre, float inverseRange,
                  float* __restrict weights, float* __restrict sum, int width) {
    const float* __restrict top = lightness.at(row, tap.offset);
    const float* __restrict bottom = lightness.at(row, tap.offset, 1);
    const float fx = tap.offset.fx, fy = tap.offset.fy, spatial = tap.spatial;
#pragma omp simd
    for (int x = 0; x < width; ++x) {
        const float v = Develop::bilinear(top, bottom, x, fx, fy);
        const float d = (v - centre[x]) * inverseRange;
        const float w = spatial * rangeWeight(d * d);
        weights[x] += w;
        sum[x] += w * v;
    }
}

// Adds one sample's weighted colour to a row's sums; the weight compares the
// softened lightness at the sample with the pixel's own.
VECTOR_LOOP void addColour(const Tap& tap, const Develop::PaddedPlane& softL, const Develop::PaddedPlane& softA, const Develop::PaddedPlane& softB, int row,
               const float* __restrict centre, float inverseRange, float* __restrict weights, float* __restrict sumA,
               float* __restrict sumB, int width) {
    const float* __restrict l0 = softL.at(row, tap.offset);
    const float* __restrict l1 = softL.at(row, tap.offset, 1);
    const float* __restrict a0 = softA.at(row, tap.offset);
    const float* __restrict a1 = softA.at(row, tap.offset, 1);
    const float* __restrict b0 = softB.at(row, tap.offset);
    const float* __restrict b1 = softB.at(row, tap.offset, 1);
    const float fx = tap.offset.fx, fy = tap.offset.fy, spatial = tap.spatial;
#pragma omp simd
    for (int x = 0; x < width; ++x) {
        const float d = (Develop::bilinear(l0, l1, x, fx, fy) - centre[x]) * inverseRange;
        const float w = spatial * rangeWeight(d * d);
        weights[x] += w;
        sumA[x] += w * Develop::bilinear(a0, a1, x, fx, fy);
        sumB[x] += w * Develop::bilinear(b0, b1, x, fx, fy);
    }
}


}  // namespace

std::optional<Imaging::Image> reduceNoise(const Develop::Look& look, const Imaging::Image& image, double scale) {
    const std::optional<NoiseParameters> p = noiseParameters(look, scale);
    if (!p || image.empty()) return std::nullopt;
    const int width = image.width(), height = image.height();
    // Lightness with room for the samples around the edges, colour without.
    const int margin = std::max(p->lumStep > 0 ? Develop::marginFor(2 * p->lumStep) : 0, p->colStep > 0 ? Develop::marginFor(2 * p->colStep) : 0);
    Develop::PaddedPlane lightness(height, width, margin);
    Develop::LabPlanes lab{lightness.inner(), Develop::scratch(height, width, CV_32F), Develop::scratch(height, width, CV_32F)};
    Develop::labPlanesInto(image, lab);
    lightness.repeatEdges();
    const std::vector<Tap> lightnessTaps = p->lumStep > 0 ? tapsOf(p->lumStep) : std::vector<Tap>{};

    std::optional<Develop::PaddedPlane> softL, softA, softB;
    std::vector<Tap> colourTaps;
    if (p->colStep > 0) {
        for (auto [soft, plane] : {std::pair{&softL, &lab.L}, std::pair{&softA, &lab.a}, std::pair{&softB, &lab.b}}) {
            soft->emplace(height, width, margin);
            cv::Mat inner = (*soft)->inner();
            Develop::blurPlaneInto(*plane, inner, p->softRadius);
            (*soft)->repeatEdges();
        }
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
                addLightness(tap, lightness, row, L, 1 / p->lumRange, lumWeights.data(), lumSum.data(), width);
            for (const Tap& tap : colourTaps)
                addColour(tap, *softL, *softA, *softB, row, L, 1 / p->colRange, colWeights.data(), sumA.data(), sumB.data(),
                          width);
            // The smoothed values overwrite the sums, then the row goes back to sRGB at once.
            float* outL = lumSum.data();
            float* outA = sumA.data();
            float* outB = sumB.data();
            for (int x = 0; x < width; ++x) {
                outL[x] = p->lumStep > 0 ? (0.0001f * L[x] + outL[x]) / (0.0001f + lumWeights[std::size_t(x)]) : L[x];
                outA[x] = p->colStep > 0 ? (0.0001f * a[x] + outA[x]) / (0.0001f + colWeights[std::size_t(x)]) : a[x];
                outB[x] = p->colStep > 0 ? (0.0001f * b[x] + outB[x]) / (0.0001f + colWeights[std::size_t(x)]) : b[x];
            }
            OKLab::screenRow(outL, outA, outB, image.mat().ptr<Imaging::Pixel>(row),
                             out.mutableMat().ptr<Imaging::Pixel>(row), width);
        }
    });
    return out;
}

}  // namespace Detail
