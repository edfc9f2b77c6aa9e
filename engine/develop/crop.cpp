#include "engine/develop/crop.h"

#include <algorithm>
#include <cmath>

namespace Crop {

bool rotates(const std::optional<Frame>& frame) {
    return frame && frame->isActive() && frame->angle && std::isfinite(*frame->angle) && std::fabs(*frame->angle) > 0.001;
}

Imaging::Image apply(const std::optional<Frame>& frame, const Imaging::Image& image) {
    if (!frame || !frame->isActive()) return image;
    const Imaging::Rect e = image.extent();
    if (e.width <= 0 || e.height <= 0) return image;
    const auto unit = [](double v) { return std::isfinite(v) ? std::clamp(v, 0.0, 1.0) : 0.0; };
    const double left = unit(frame->left), top = unit(frame->top);
    const double right = std::isfinite(frame->right) ? std::clamp(frame->right, 0.0, 1.0) : 1.0;
    const double bottom = std::isfinite(frame->bottom) ? std::clamp(frame->bottom, 0.0, 1.0) : 1.0;
    if (right - left <= 0.001 || bottom - top <= 0.001) return image;

    // Crop rectangle in the picture's coordinates, widened to whole pixels.
    const double W = e.width, H = e.height;
    const double x0 = e.x + left * W, y0 = e.y + (1 - bottom) * H;
    const double x1 = x0 + (right - left) * W, y1 = y0 + (bottom - top) * H;
    // Edges within a rounding error of a pixel boundary sit on it (0.9 · 800 is 720, not 719.99…).
    const auto snap = [](double v) {
        const double r = std::round(v);
        return std::fabs(v - r) < 1e-6 ? r : v;
    };
    const int ix0 = int(std::floor(snap(x0))), iy0 = int(std::floor(snap(y0)));
    const Imaging::Rect wanted{ix0, iy0, int(std::ceil(snap(x1))) - ix0, int(std::ceil(snap(y1))) - iy0};
    const Imaging::Rect rect = wanted.intersection(e);
    if (rect.width < 1 || rect.height < 1) return image;

    if (!rotates(frame)) return Imaging::cropView(image, rect).movedTo(0, 0);

    // Rotate by −θ about the centre (a positive angle turns the picture
    // clockwise as seen); exposed corners repeat the edge pixels.
    const double theta = std::clamp(*frame->angle, -45.0, 45.0);
    const auto rotation = Imaging::Affine::rotation(-theta * M_PI / 180, e.x + W / 2, e.y + H / 2);
    return Imaging::transform(image, rotation, rect).movedTo(0, 0);
}

}  // namespace Crop
