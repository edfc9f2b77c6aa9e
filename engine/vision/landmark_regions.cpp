// The ten landmark regions of a face, made from its 68 points.
#include <algorithm>
#include <cmath>
#include <span>

#include "engine/vision/landmarks68.h"

namespace FaceLandmarks {

namespace {

using Vision::Point;

// Eyebrow thickness, in distances between the eye centres.
constexpr double eyebrowThickness = 0.15;

struct Normaliser {
    double width = 1;
    double height = 1;
    Vision::Rect box;

    // A picture pixel (origin top-left, y down) as a fraction of the box (origin bottom-left, y up).
    Point operator()(Point p) const {
        const double bw = box.width > 0 ? box.width : 1, bh = box.height > 0 ? box.height : 1;
        return {(p.x / width - box.x) / bw, (1 - p.y / height - box.y) / bh};
    }
    std::vector<Point> operator()(std::span<const Point> points) const {
        std::vector<Point> out;
        out.reserve(points.size());
        for (const Point& p : points) out.push_back((*this)(p));
        return out;
    }
};

Point centre(std::span<const Point> points) {
    Point c;
    for (const Point& p : points) c.x += p.x, c.y += p.y;
    return {c.x / double(points.size()), c.y / double(points.size())};
}

// The points give the brow's upper edge; the outline returns along its lower
// edge, `offset` further down the face.
std::vector<Point> eyebrowOutline(std::span<const Point> upper, Point offset) {
    std::vector<Point> outline(upper.begin(), upper.end());
    for (auto it = upper.rbegin(); it != upper.rend(); ++it) outline.push_back({it->x + offset.x, it->y + offset.y});
    return outline;
}

}  // namespace

Vision::Landmarks regions(const Face& face, int pictureWidth, int pictureHeight, const Vision::Rect& box) {
    const std::span<const Point> p(face.points);
    const Normaliser normalised{double(std::max(pictureWidth, 1)), double(std::max(pictureHeight, 1)), box};

    // "Down the face": perpendicular to the line from the right eye to the left.
    const Point right = centre(p.subspan(36, 6)), left = centre(p.subspan(42, 6));
    const double across = std::hypot(left.x - right.x, left.y - right.y);
    Point down{0, eyebrowThickness * across};
    if (across > 1e-9) down = {-(left.y - right.y) * eyebrowThickness, (left.x - right.x) * eyebrowThickness};

    const std::vector<Point> nose{p[27], p[31], p[32], p[33], p[34], p[35]};

    Vision::Landmarks out;
    out.faceContour = normalised(p.subspan(0, 17));
    out.rightEyebrow = normalised(eyebrowOutline(p.subspan(17, 5), down));
    out.leftEyebrow = normalised(eyebrowOutline(p.subspan(22, 5), down));
    out.nose = normalised(nose);
    out.rightEye = normalised(p.subspan(36, 6));
    out.leftEye = normalised(p.subspan(42, 6));
    out.outerLips = normalised(p.subspan(48, 12));
    out.innerLips = normalised(p.subspan(60, 8));
    out.rightPupil = {normalised(face.rightPupil)};
    out.leftPupil = {normalised(face.leftPupil)};
    return out;
}

}  // namespace FaceLandmarks
