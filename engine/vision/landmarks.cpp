// Landmark regions drawn from the detector's six keypoints.
//
// Every region is laid out in a face frame: the unit vector `across` runs from
// the person's right eye to their left eye, `down` is perpendicular to it and
// points from the eyes towards the mouth, and lengths are multiples of the
// distance between the eyes (E). Proportions follow average adult faces:
//
//   eye outline   ellipse around the eye keypoint, 0.46 E wide, 0.18 E high
//   pupil         the eye keypoint itself
//   eyebrow       ellipse 0.60 E wide, 0.10 E high, 0.22 E above the eye
//   nose          from the bridge (0.15 E below the eye line) to the nostril
//                 wings (0.22 E either side of the tip) and 0.16 E below the tip
//   outer lips    ellipse around the mouth keypoint, 0.80 E wide, 0.32 E high
//   inner lips    a closed mouth: 0.60 E wide, 0.024 E high (a detector
//                 without lip points cannot tell an open mouth, so none is assumed)
//   face contour  the jaw line, a half ellipse from one temple at eye level
//                 down to the chin (1.75 times the mouth's depth below the eye
//                 line) and up to the other temple, 2 E wide
#include <cmath>
#include <numbers>

#include "engine/vision/faces.h"

namespace Vision {

namespace {

struct Frame {
    Point across{1, 0};
    Point down{0, 1};
    double eyeDistance = 1;

    // The pixel point `a` eye distances across and `b` down from `origin`.
    Point at(Point origin, double a, double b) const {
        return {origin.x + (a * across.x + b * down.x) * eyeDistance,
                origin.y + (a * across.y + b * down.y) * eyeDistance};
    }
    // How far `p` lies below `origin` along the face, in eye distances.
    double depth(Point origin, Point p) const {
        return ((p.x - origin.x) * down.x + (p.y - origin.y) * down.y) / eyeDistance;
    }
};

Frame faceFrame(const FaceKeypoints& k, const PixelBox& box) {
    Frame f;
    const double dx = k.leftEye.x - k.rightEye.x;
    const double dy = k.leftEye.y - k.rightEye.y;
    const double distance = std::hypot(dx, dy);
    if (distance > 1e-6) {
        f.across = {dx / distance, dy / distance};
        f.eyeDistance = distance;
    } else {
        // Eyes on top of each other: an upright face whose eyes are 0.4 box widths apart.
        f.eyeDistance = std::max(0.4 * box.width, 1e-6);
    }
    f.down = {-f.across.y, f.across.x};
    return f;
}

// `count` points of the ellipse centred `b` eye distances below `centre` (and
// `a` across), with half-axes `ra` across and `rb` down.
std::vector<Point> ellipse(const Frame& f, Point centre, double a, double b, double ra, double rb, int count) {
    std::vector<Point> out;
    out.reserve(count);
    for (int i = 0; i < count; ++i) {
        const double t = 2 * std::numbers::pi * i / count;
        out.push_back(f.at(centre, a + ra * std::cos(t), b + rb * std::sin(t)));
    }
    return out;
}

std::vector<Point> normalised(const std::vector<Point>& pixels, const PixelBox& box) {
    std::vector<Point> out;
    out.reserve(pixels.size());
    const double w = box.width > 0 ? box.width : 1;
    const double h = box.height > 0 ? box.height : 1;
    for (const Point& p : pixels) out.push_back({(p.x - box.x) / w, 1 - (p.y - box.y) / h});
    return out;
}

}  // namespace

Landmarks landmarksFromKeypoints(const FaceKeypoints& k, const PixelBox& box) {
    const Frame f = faceFrame(k, box);
    const Point eyes{(k.rightEye.x + k.leftEye.x) / 2, (k.rightEye.y + k.leftEye.y) / 2};

    const double mouthDepth = std::max(f.depth(eyes, k.mouthCentre), 0.5);
    std::vector<Point> contour;
    constexpr int contourPoints = 11;
    for (int i = 0; i < contourPoints; ++i) {
        const double t = std::numbers::pi * i / (contourPoints - 1);
        contour.push_back(f.at(eyes, -std::cos(t), 1.75 * mouthDepth * std::sin(t)));
    }

    const Point tip = k.noseTip;
    const std::vector<Point> nose{
        f.at(eyes, -0.08, 0.15), f.at(tip, -0.14, -0.12), f.at(tip, -0.22, 0.05), f.at(tip, -0.10, 0.14),
        f.at(tip, 0.00, 0.16),   f.at(tip, 0.10, 0.14),   f.at(tip, 0.22, 0.05),  f.at(tip, 0.14, -0.12),
        f.at(eyes, 0.08, 0.15),
    };

    Landmarks out;
    out.faceContour = normalised(contour, box);
    out.rightEye = normalised(ellipse(f, k.rightEye, 0, 0, 0.23, 0.09, 8), box);
    out.leftEye = normalised(ellipse(f, k.leftEye, 0, 0, 0.23, 0.09, 8), box);
    out.rightPupil = normalised({k.rightEye}, box);
    out.leftPupil = normalised({k.leftEye}, box);
    out.rightEyebrow = normalised(ellipse(f, k.rightEye, -0.03, -0.22, 0.30, 0.05, 8), box);
    out.leftEyebrow = normalised(ellipse(f, k.leftEye, 0.03, -0.22, 0.30, 0.05, 8), box);
    out.nose = normalised(nose, box);
    out.outerLips = normalised(ellipse(f, k.mouthCentre, 0, 0, 0.40, 0.16, 12), box);
    out.innerLips = normalised(ellipse(f, k.mouthCentre, 0, 0, 0.30, 0.012, 8), box);
    return out;
}

}  // namespace Vision
