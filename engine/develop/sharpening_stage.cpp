// Sharpening as a develop stage: OKLab lightness pushed away from a Gaussian
// blur of itself, small differences cored, large ones limited, optionally
// only along edges. Only the lightness takes part in the comparison, so only
// the lightness plane is blurred.

#include <vector>

#include "engine/develop/detail.h"
#include "engine/develop/oklab_rows.h"
#include "engine/develop/stage_kernels.h"

namespace Detail {

std::optional<Imaging::Image> sharpen(const Develop::Look& look, const Imaging::Image& image, double scale) {
    const std::optional<SharpenParameters> p = sharpenParameters(look, scale);
    if (!p || image.empty()) return std::nullopt;
    const Develop::LabPlanes lab = Develop::labPlanes(image);
    const cv::Mat blur = Develop::blurPlane(lab.L, p->sigma);
    const int width = image.width();
    Imaging::Image out(image.extent());
    Imaging::forRows(image.height(), [&](int begin, int end) {
        std::vector<float> sharpened(static_cast<std::size_t>(width));
        for (int row = begin; row < end; ++row) {
            const float* L = lab.L.ptr<float>(row);
            const float* a = lab.a.ptr<float>(row);
            const float* b = lab.b.ptr<float>(row);
            for (int col = 0; col < width; ++col) {
                // Picture offsets (y up) to stored positions (rows down).
                const auto fromBlur = [&](float dx, float dy) {
                    return OKLab::Lab{Develop::planeAt(blur, float(col) + dx, float(row) - dy), 0, 0};
                };
                sharpened[std::size_t(col)] = sharpenLab(OKLab::Lab{L[col], a[col], b[col]}, fromBlur, *p).L;
            }
            OKLab::screenRow(sharpened.data(), a, b, image.mat().ptr<Imaging::Pixel>(row),
                             out.mutableMat().ptr<Imaging::Pixel>(row), width);
        }
    });
    return out;
}

}  // namespace Detail
