#include "engine/portrait/multiscale_skin.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "engine/imaging/pixel_pool.h"
#include "engine/imaging/planes.h"
#include "engine/imaging/vector_loop.h"

namespace MultiscaleSkin {

using Imaging::Image;
using Imaging::Pixel;
using Imaging::Rect;

namespace {

const char* caseName(Failure::Case c) {
    return c == Failure::Case::invalidInput ? "invalidInput" : "kernelUnavailable";
}

[[noreturn]] void invalid() { throw Failure(Failure::Case::invalidInput); }

// Level steps in fine steps, and the colour-difference variance of each level.
constexpr double levelSteps[3] = {1, 3, 9};
constexpr double rangeVariances[3] = {0.04, 0.018, 0.018};
constexpr int tapReach = 3;  // taps −3…3 on each axis

// Float planes reused from one tile to the next: each slot is one buffer,
// made at the first use (or when a larger one is asked for), and handed out
// as a view of the size asked for. A 24 MP photo is prepared in some twenty
// tiles whose planes then take the same memory each time instead of leaving
// the allocator a heap of differently sized blocks.
class Workspace {
public:
    enum Slot { red, green, blue, fineR, fineG, fineB, mediumR, mediumG, mediumB, coarseR, coarseG, coarseB,
                paddedR, paddedG, paddedB, paddedMask, result, slots };
    cv::Mat take(Slot slot, int rows, int cols, int type = CV_32F) {
        cv::Mat& buffer = buffers_[slot];
        if (buffer.empty() || buffer.type() != type || buffer.rows < rows || buffer.cols < cols) {
            buffer = Imaging::pooledMat();
            buffer.create(std::max(rows, buffer.rows), std::max(cols, buffer.cols), type);
        }
        return buffer(cv::Rect(0, 0, cols, rows));
    }

private:
    cv::Mat buffers_[slots];
};

// The colour channels of a picture as three planes (CV_32F, rows top-down).
struct Planes {
    cv::Mat r, g, b;
};

Planes colourPlanes(const Image& image, Workspace& space) {
    const int w = image.width(), h = image.height();
    Planes out{space.take(Workspace::red, h, w), space.take(Workspace::green, h, w), space.take(Workspace::blue, h, w)};
    Imaging::forRows(h, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Pixel* in = image.mat().ptr<Pixel>(row);
            float *r = out.r.ptr<float>(row), *g = out.g.ptr<float>(row), *b = out.b.ptr<float>(row);
            for (int col = 0; col < w; ++col) r[col] = in[col].r, g[col] = in[col].g, b[col] = in[col].b;
        }
    });
    return out;
}

cv::Mat padded(const cv::Mat& plane, int margin, Workspace& space, Workspace::Slot slot) {
    cv::Mat out = space.take(slot, plane.rows + 2 * margin, plane.cols + 2 * margin);
    cv::copyMakeBorder(plane, out, margin, margin, margin, margin, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
    return out;
}

// The part of a mask plane under a picture rectangle of a photo `height` high.
// The part of a mask plane (covering `extent`) under the picture rectangle `r`.
cv::Mat maskPart(const cv::Mat& mask, const Rect& r, const Rect& extent) {
    return mask(cv::Rect(r.x - extent.x, extent.maxY() - r.maxY(), r.width, r.height));
}

// The stored pixels of `target` under the picture rectangle `r`.
cv::Mat storedPart(Image& target, const Rect& r) {
    const Rect& e = target.extent();
    return target.mutableMat()(cv::Rect(r.x - e.x, e.maxY() - r.maxY(), r.width, r.height));
}

Rect grown(const Rect& r, int by) { return {r.x - by, r.y - by, r.width + 2 * by, r.height + 2 * by}; }

// One tap of the blur for one output row: the source rows around the
// sample (already moved to the tap's whole-pixel offset) and its weights.
struct TapRows {
    const float *rTop, *rBottom, *gTop, *gBottom, *bTop, *bBottom, *mTop, *mBottom;
    float fx, fy, spatial, inverseVariance;
};

// Adds one tap's contribution to the sums of `count` pixels.
VECTOR_LOOP void accumulateTap(const TapRows& t, const float* cr, const float* cg, const float* cb, float* sr, float* sg,
                               float* sb, float* total, int count) {
#pragma omp simd
    for (int x = 0; x < count; ++x) {
        const float vr = Imaging::bilinear(t.rTop, t.rBottom, x, t.fx, t.fy);
        const float vg = Imaging::bilinear(t.gTop, t.gBottom, x, t.fx, t.fy);
        const float vb = Imaging::bilinear(t.bTop, t.bBottom, x, t.fx, t.fy);
        const float m = Imaging::bilinear(t.mTop, t.mBottom, x, t.fx, t.fy);
        const float dr = vr - cr[x], dg = vg - cg[x], db = vb - cb[x];
        const float w = Kernels::smoothWeight(t.spatial, dr * dr + dg * dg + db * db, t.inverseVariance, m);
        sr[x] += vr * w;
        sg[x] += vg * w;
        sb[x] += vb * w;
        total[x] += w;
    }
}

// The masked edge-preserving blur of three planes. `mask` is the weight
// plane padded by `maskMargin` pixels on every side (at least the reach of
// the taps plus 2).
// The result goes into the workspace's three slots from `into`.
Planes smoothPlanes(const Planes& source, const cv::Mat& mask, int maskMargin, double step, double rangeVariance,
                    Workspace& space, Workspace::Slot into) {
    const int w = source.r.cols, h = source.r.rows;
    const int margin = Imaging::marginFor(float(tapReach * step));
    const cv::Mat pr = padded(source.r, margin, space, Workspace::paddedR),
                  pg = padded(source.g, margin, space, Workspace::paddedG),
                  pb = padded(source.b, margin, space, Workspace::paddedB);
    struct Tap {
        Imaging::Offset offset;
        float spatial;
    };
    std::vector<Tap> taps;
    for (int j = -tapReach; j <= tapReach; ++j)
        for (int i = -tapReach; i <= tapReach; ++i)
            taps.push_back({Imaging::Offset::of(float(i * step), float(j * step)), float(std::exp(-(i * i + j * j) / 4.5))});
    const float inverseVariance = float(1.4426950408889634 / rangeVariance);

    Planes out{space.take(into, h, w), space.take(Workspace::Slot(into + 1), h, w), space.take(Workspace::Slot(into + 2), h, w)};
    Imaging::forRows(h, [&](int begin, int end) {
        std::vector<float> sums(std::size_t(w) * 4);
        float *sr = sums.data(), *sg = sr + w, *sb = sg + w, *total = sb + w;
        for (int row = begin; row < end; ++row) {
            const float *cr = source.r.ptr<float>(row), *cg = source.g.ptr<float>(row), *cb = source.b.ptr<float>(row);
            for (int x = 0; x < w; ++x) {
                sr[x] = 0.00001f * cr[x];
                sg[x] = 0.00001f * cg[x];
                sb[x] = 0.00001f * cb[x];
                total[x] = 0.00001f;
            }
            for (const Tap& tap : taps) {
                const int pr0 = row + margin + tap.offset.row, pc = margin + tap.offset.col;
                const int mr0 = row + maskMargin + tap.offset.row, mc = maskMargin + tap.offset.col;
                const TapRows t{pr.ptr<float>(pr0) + pc,     pr.ptr<float>(pr0 + 1) + pc,   pg.ptr<float>(pr0) + pc,
                                pg.ptr<float>(pr0 + 1) + pc, pb.ptr<float>(pr0) + pc,       pb.ptr<float>(pr0 + 1) + pc,
                                mask.ptr<float>(mr0) + mc,   mask.ptr<float>(mr0 + 1) + mc, tap.offset.fx,
                                tap.offset.fy,               tap.spatial,                   inverseVariance};
                accumulateTap(t, cr, cg, cb, sr, sg, sb, total, w);
            }
            float *orow = out.r.ptr<float>(row), *og = out.g.ptr<float>(row), *ob = out.b.ptr<float>(row);
            for (int x = 0; x < w; ++x) {
                orow[x] = sr[x] / total[x];
                og[x] = sg[x] / total[x];
                ob[x] = sb[x] / total[x];
            }
        }
    });
    return out;
}

Pixel pixelOf(const Planes& p, int row, int col) {
    return {p.r.ptr<float>(row)[col], p.g.ptr<float>(row)[col], p.b.ptr<float>(row)[col], 1};
}

// The signed correction of a photo (any extent) for its mask (the photo's
// size), over the photo's extent: the three blur levels, each computed once
// into float planes, and their differences.
Image levelsCorrection(const Image& image, const cv::Mat& mask, double faceWidth, double texture, Workspace& space);

// The correction is the mask times the bands, so it is zero wherever the mask
// is; and it reads source pixels at most `halo` away. So only the mask's
// bounding box grown by the halo needs computing, and nothing at all for a
// mask of zeros: the correction over that support (a picture rectangle), or
// nothing when the mask is 0 everywhere. Outside the support it is 0.
// The result lies in the workspace (valid until its next use).
std::optional<Image> supportCorrection(const Image& image, const cv::Mat& mask, double faceWidth, double texture,
                                       Workspace& space) {
    const cv::Rect box = cv::boundingRect(mask > 0);
    if (box.empty()) return std::nullopt;
    const Rect& e = image.extent();
    const Rect support = grown(Rect{e.x + box.x, e.maxY() - box.y - box.height, box.width, box.height}, halo(faceWidth))
                             .intersection(e);
    if (support == e) return levelsCorrection(image, mask, faceWidth, texture, space);
    return levelsCorrection(Imaging::cropView(image, support), maskPart(mask, support, e), faceWidth, texture, space);
}

// The same over the photo's whole extent.
Image correction(const Image& image, const cv::Mat& mask, double faceWidth, double texture) {
    Workspace space;
    const std::optional<Image> part = supportCorrection(image, mask, faceWidth, texture, space);
    if (!part) return Image::filled(image.extent(), {0, 0, 0, 1});
    if (part->extent() == image.extent()) return *part;  // the workspace's own buffer, exactly this size
    Image out = Image::filled(image.extent(), {0, 0, 0, 1});
    part->mat().copyTo(storedPart(out, part->extent()));
    return out;
}

Image levelsCorrection(const Image& image, const cv::Mat& mask, double faceWidth, double texture, Workspace& space) {
    const double s = fineStep(faceWidth);
    const int maskMargin = Imaging::marginFor(float(tapReach * levelSteps[2] * s));
    const cv::Mat paddedMask = padded(mask, maskMargin, space, Workspace::paddedMask);
    const Planes original = colourPlanes(image, space);
    const Planes fine = smoothPlanes(original, paddedMask, maskMargin, levelSteps[0] * s, rangeVariances[0], space,
                                     Workspace::fineR);
    const Planes medium = smoothPlanes(fine, paddedMask, maskMargin, levelSteps[1] * s, rangeVariances[1], space,
                                       Workspace::mediumR);
    const Planes coarse = smoothPlanes(medium, paddedMask, maskMargin, levelSteps[2] * s, rangeVariances[2], space,
                                       Workspace::coarseR);

    Image out(space.take(Workspace::result, image.height(), image.width(), CV_32FC4), image.extent().x, image.extent().y);
    const int w = image.width();
    const float keep = float(texture);
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const float* m = mask.ptr<float>(row);
            Pixel* o = out.mutableMat().ptr<Pixel>(row);
            for (int col = 0; col < w; ++col)
                o[col] = Kernels::difference(image.at(col, row), pixelOf(fine, row, col), pixelOf(medium, row, col),
                                             pixelOf(coarse, row, col), m[col], keep);
        }
    });
    return out;
}

// A value rounded to half-float precision (nearest, ties to even), as the
// correction is kept.
inline float halfPrecision(float v) { return float(cv::float16_t(v)); }

// `source` at half-float precision written into `target` where they overlap.
void storeFrozen(const Image& source, Image& target) {
    const Rect r = source.extent().intersection(target.extent());
    if (r.empty()) return;
    const cv::Mat from = source.mat()(cv::Rect(r.x - source.extent().x, source.extent().maxY() - r.maxY(), r.width, r.height));
    cv::Mat to = storedPart(target, r);
    Imaging::forRows(r.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Pixel* in = from.ptr<Pixel>(row);
            Pixel* o = to.ptr<Pixel>(row);
            for (int col = 0; col < r.width; ++col)
                o[col] = {halfPrecision(in[col].r), halfPrecision(in[col].g), halfPrecision(in[col].b), halfPrecision(in[col].a)};
        }
    });
}

// The picture with its values rounded to half-float precision, at its place.
Image frozenHalf(const Image& image) {
    Image out(image.extent());
    storeFrozen(image, out);
    return out;
}


bool finiteIn(double v, double lo, double hi) { return std::isfinite(v) && v >= lo && v <= hi; }

void checkPhoto(const Image& image) {
    const Rect& e = image.extent();
    if (e.empty() || e.x != 0 || e.y != 0) invalid();
    if (static_cast<long long>(e.width) * e.height > maximumPixels) invalid();
}

void checkMask(const cv::Mat& mask, const Image& image) {
    if (mask.type() != CV_32FC1 || mask.cols != image.width() || mask.rows != image.height()) invalid();
}

void checkInputs(const Image& image, const cv::Mat& mask, double faceWidth, double texture) {
    checkPhoto(image);
    checkMask(mask, image);
    if (!finiteIn(faceWidth, minimumFaceWidth, image.width())) invalid();
    if (!finiteIn(texture, 0, 1)) invalid();
}

}  // namespace

Failure::Failure(Case c) : std::runtime_error(caseName(c)), case_(c) {}

double fineStep(double faceWidth) { return std::max(0.0015 * faceWidth, 0.5); }

int halo(double faceWidth) { return int(std::ceil(fineStep(faceWidth) * 39)) + 6; }

Prepared prepare(const Image& image, const cv::Mat& mask, double faceWidth, double texture) {
    checkInputs(image, mask, faceWidth, texture);
    if (static_cast<long long>(image.width()) * image.height() > tilingThreshold)
        return prepareTiled(image, mask, faceWidth, texture, defaultTileEdge);
    return {image, correction(image, mask, faceWidth, texture), std::nullopt, std::nullopt};
}

Prepared prepareTiled(const Image& image, const cv::Mat& mask, double faceWidth, double texture, int tileEdge) {
    checkInputs(image, mask, faceWidth, texture);
    if (tileEdge < minimumTileEdge || tileEdge > defaultTileEdge) invalid();
    const Rect extent = image.extent();
    const int margin = halo(faceWidth);
    Image accumulated = Image::filled(extent, {0, 0, 0, 1});
    Workspace space;
    for (int y = 0; y < extent.height; y += tileEdge) {
        for (int x = 0; x < extent.width; x += tileEdge) {
            // The tiles share one workspace.
            // Where the tile's correction is 0 the accumulated one already is.
            const Rect tile{x, y, std::min(extent.width - x, tileEdge), std::min(extent.height - y, tileEdge)};
            const Rect source = grown(tile, margin).intersection(extent);
            const std::optional<Image> c = supportCorrection(Imaging::cropView(image, source),
                                                             maskPart(mask, source, extent), faceWidth, texture, space);
            if (c) storeFrozen(Imaging::cropView(*c, tile), accumulated);
        }
    }
    return {image, accumulated, std::nullopt, std::nullopt};
}

Prepared prepareRegions(const Image& image, const std::vector<Region>& regions) {
    checkPhoto(image);
    for (const Region& region : regions) {
        checkMask(region.mask, image);
        if (!std::isfinite(region.faceWidth) || region.faceWidth < minimumFaceWidth) invalid();
        if (!finiteIn(region.texture, 0, 1)) invalid();
        if (region.strength && !finiteIn(*region.strength, 0, 1)) invalid();
    }
    const Rect extent = image.extent();
    Image shared = Image::filled(extent, {0, 0, 0, 1});
    Image own = Image::filled(extent, {0, 0, 0, 1});
    bool anyOwn = false;
    for (const Region& region : regions) {
        if (region.bounds.empty()) continue;
        const Rect core = grown(region.bounds, 2).intersection(extent);
        if (core.empty()) continue;
        const Rect source = grown(core, halo(region.faceWidth)).intersection(extent);
        Image c = correction(Imaging::cropView(image, source), maskPart(region.mask, source, extent),
                             region.faceWidth, region.texture);
        if (region.strength) {
            const float strength = float(*region.strength);
            c = Imaging::map(std::move(c), [&](const Pixel& p) { return Kernels::scale(p, strength); });
        }
        const Image frozen = frozenHalf(Imaging::cropView(c, core));
        Image& target = region.strength ? own : shared;
        anyOwn = anyOwn || region.strength.has_value();
        cv::Mat part = storedPart(target, core);
        Imaging::forRows(core.height, [&](int begin, int end) {
            for (int row = begin; row < end; ++row) {
                const Pixel* in = frozen.mat().ptr<Pixel>(row);
                Pixel* o = part.ptr<Pixel>(row);
                for (int col = 0; col < core.width; ++col) {
                    o[col].r += in[col].r;
                    o[col].g += in[col].g;
                    o[col].b += in[col].b;
                }
            }
        });
    }
    Prepared out{image, shared, std::nullopt, std::nullopt};
    if (anyOwn) out.fixed = own;
    return out;
}

Image Prepared::image(double amount) const {
    if (!finiteIn(amount, 0, 1)) invalid();
    const float a = float(fixedAmount.value_or(amount));
    Image result = original;
    if (a > 0)
        result = Imaging::combine(original, correction,
                                  [a](const Pixel& o, const Pixel& d) { return Kernels::blend(o, d, a); });
    if (fixed)
        result = Imaging::combine(result, *fixed, [](const Pixel& o, const Pixel& d) { return Kernels::blend(o, d, 1); });
    return result;
}

cv::Mat maskWeights(const Image& mask) {
    cv::Mat out(mask.height(), mask.width(), CV_32F);
    Imaging::forRows(mask.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Pixel* in = mask.mat().ptr<Pixel>(row);
            float* o = out.ptr<float>(row);
            for (int col = 0; col < mask.width(); ++col) o[col] = std::clamp(in[col].r * in[col].a, 0.0f, 1.0f);
        }
    });
    return out;
}

namespace Kernels {

Image smooth(const Image& source, const cv::Mat& mask, double step, double rangeVariance) {
    checkMask(mask, source);
    const int maskMargin = Imaging::marginFor(float(tapReach * step));
    Workspace space;
    const Planes out = smoothPlanes(colourPlanes(source, space), padded(mask, maskMargin, space, Workspace::paddedMask),
                                    maskMargin, step, rangeVariance, space, Workspace::fineR);
    cv::Mat alpha(out.r.size(), CV_32F, cv::Scalar(1));
    cv::Mat merged;
    cv::merge(std::vector<cv::Mat>{out.r, out.g, out.b, alpha}, merged);
    return Image(merged, source.extent().x, source.extent().y);
}

Pixel difference(const Pixel& original, const Pixel& fine, const Pixel& medium, const Pixel& coarse, float mask,
                 float texture) {
    const float coverage = std::clamp(mask, 0.0f, 1.0f);
    const auto band = [&](float o, float f, float m, float c) {
        const float fineBand = o - f, mediumBand = f - m, broadBand = m - c;
        return (-(1 - texture) * fineBand - 0.70f * mediumBand - 0.30f * broadBand) * coverage;
    };
    return {band(original.r, fine.r, medium.r, coarse.r), band(original.g, fine.g, medium.g, coarse.g),
            band(original.b, fine.b, medium.b, coarse.b), 1};
}

Pixel scale(const Pixel& correction, float strength) {
    return {correction.r * strength, correction.g * strength, correction.b * strength, correction.a};
}

Pixel maskOverlay(const Pixel& original, float mask) {
    const float t = 0.65f * std::clamp(mask, 0.0f, 1.0f);
    return {original.r + (1 - original.r) * t, original.g * (1 - t), original.b * (1 - t), original.a};
}

}  // namespace Kernels

}  // namespace MultiscaleSkin

namespace FrequencySeparation {

std::optional<Imaging::Image> showMask(const Imaging::Image& image, const cv::Mat& mask) {
    if (mask.type() != CV_32FC1 || mask.cols != image.width() || mask.rows != image.height()) return std::nullopt;
    Imaging::Image out(image.extent());
    Imaging::forRows(image.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const float* m = mask.ptr<float>(row);
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(row);
            for (int col = 0; col < image.width(); ++col) o[col] = MultiscaleSkin::Kernels::maskOverlay(in[col], m[col]);
        }
    });
    return out;
}

}  // namespace FrequencySeparation
