// Sharpening as a develop stage: OKLab lightness pushed away from a Gaussian
// blur of itself, small differences cored, large ones limited, optionally
// only along edges. Only the lightness takes part in the comparison, so only
// the lightness plane is blurred, into a plane padded with its edges so that
// whole rows are sharpened in one vectorised loop.

#include <array>
#include <vector>

#include "engine/develop/detail.h"
#include "engine/imaging/colour/oklab_rows.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/planes.h"
#include "engine/imaging/vector_loop.h"

namespace Detail {

namespace {

// The blur at the pixel and at ±reach in x and y.
struct Samples {
    Imaging::Offset right, left, up, down;
};

// One stored row of sharpened lightness into `out`.
VECTOR_LOOP void sharpenRow(const float* __restrict L, const Imaging::PaddedPlane& blur, int row, const Samples& s,
                            const SharpenParameters& parameters, float* __restrict out, int width) {
    const SharpenParameters p = parameters;  // a local copy: its fields stay in registers
    const float* __restrict centre = blur.at(row, {});
    if (!(p.maskHi > 0)) {
#pragma omp simd
        for (int x = 0; x < width; ++x) out[x] = sharpenedLightness(L[x], centre[x], 0, 0, p);
        return;
    }
    const auto sample = [&blur, row](const Imaging::Offset& o) {
        return std::array<const float*, 2>{blur.at(row, o), blur.at(row, o, 1)};
    };
    // Plain arrays rather than structured bindings: clang before 16 cannot
    // use a binding inside the simd loop's captured body.
    const auto r = sample(s.right), l = sample(s.left), u = sample(s.up), d = sample(s.down);
#pragma omp simd
    for (int x = 0; x < width; ++x) {
        const float gx = Imaging::bilinear(r[0], r[1], x, s.right.fx, s.right.fy) - Imaging::bilinear(l[0], l[1], x, s.left.fx, s.left.fy);
        const float gy = Imaging::bilinear(u[0], u[1], x, s.up.fx, s.up.fy) - Imaging::bilinear(d[0], d[1], x, s.down.fx, s.down.fy);
        out[x] = sharpenedLightness(L[x], centre[x], gx, gy, p);
    }
}

}  // namespace

std::optional<Imaging::Image> sharpen(const Develop::Look& look, const Imaging::Image& image, double scale) {
    if (!sharpenParameters(look, scale) || image.empty()) return std::nullopt;
    return sharpen(look, Develop::labPlanes(image), image, scale);
}

std::optional<Imaging::Image> sharpen(const Develop::Look& look, const Develop::LabPlanes& lab, const Imaging::Image& image,
                                      double scale) {
    const std::optional<SharpenParameters> p = sharpenParameters(look, scale);
    if (!p || image.empty()) return std::nullopt;
    Imaging::PaddedPlane blur(image.height(), image.width(), Imaging::marginFor(p->reach));
    cv::Mat inner = blur.inner();
    Imaging::blurPlaneInto(lab.L, inner, p->sigma);
    blur.repeatEdges();
    const Samples samples{Imaging::Offset::of(p->reach, 0), Imaging::Offset::of(-p->reach, 0),
                          Imaging::Offset::of(0, p->reach), Imaging::Offset::of(0, -p->reach)};
    const int width = image.width();
    Imaging::Image out(image.extent());
    Imaging::forRows(image.height(), [&](int begin, int end) {
        std::vector<float> sharpened(static_cast<std::size_t>(width));
        for (int row = begin; row < end; ++row) {
            sharpenRow(lab.L.ptr<float>(row), blur, row, samples, *p, sharpened.data(), width);
            OKLab::screenRow(sharpened.data(), lab.a.ptr<float>(row), lab.b.ptr<float>(row),
                             image.mat().ptr<Imaging::Pixel>(row), out.mutableMat().ptr<Imaging::Pixel>(row), width);
        }
    });
    return out;
}

}  // namespace Detail
