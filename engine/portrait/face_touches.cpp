#include "engine/portrait/face_touches.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <set>

#include <opencv2/imgproc.hpp>

#include "engine/imaging/mask_canvas.h"
#include "engine/imaging/pixel_pool.h"

namespace FaceTouches {

using Imaging::Image;
using Imaging::Pixel;
using Imaging::Rect;

namespace Kernels {
namespace {

constexpr float minimumWeight = 0.0001f;

float clamp01(float v) { return std::clamp(v, 0.0f, 1.0f); }

float smoothstep(float edge0, float edge1, float x) {
    if (!(edge1 > edge0)) return x < edge0 ? 0.0f : 1.0f;
    const float t = clamp01((x - edge0) / (edge1 - edge0));
    return t * t * (3 - 2 * t);
}

float mix(float a, float b, float t) { return a + (b - a) * t; }

// The corrected colour where the weight counts, the pixel itself elsewhere.
Pixel finish(const Pixel& s, const Ycc& c, float w) { return w >= minimumWeight ? toRgb(c, s.a) : s; }

}  // namespace

Pixel underEye(const Pixel& s, const Pixel& local, float band, const Ycc& cheek, float amount) {
    const float w = amount * clamp01(band);
    const Ycc l = toYcc(local);
    // Brightened towards the cheek's luma by at most 35 %, never darkened;
    // the chroma moves towards the cheek's only while brightening.
    const float gain = std::clamp(cheek.y / std::max(l.y, 0.02f), 1.0f, 1.35f);
    const float brightening = gain >= 1.0001f ? 1.0f : 0.0f;
    Ycc c = toYcc(s);
    c.y *= 1 + w * (gain - 1);
    c.cb += w * (cheek.cb - l.cb) * brightening;
    c.cr += w * (cheek.cr - l.cr) * brightening;
    return finish(s, c, w);
}

Pixel eyeWhite(const Pixel& s, float region, float amount, float skin) {
    Ycc c = toYcc(s);
    const float colour = std::hypot(c.cb, c.cr) / std::max(c.y, 0.02f);
    // Only light, nearly neutral pixels: the sclera.
    const float w = amount * clamp01(region) * smoothstep(0.35f * skin, 0.6f * skin, c.y) *
                    (1 - smoothstep(0.22f, 0.4f, colour));
    c.cb *= 1 - 0.8f * w;
    c.cr *= 1 - 0.8f * w;
    c.y = std::max(c.y, mix(c.y, std::min(1.18f * c.y, std::max(c.y, std::min(0.94f, 1.6f * skin))), w));
    return finish(s, c, w);
}

Pixel teeth(const Pixel& s, float region, float amount, float skin) {
    Ycc c = toYcc(s);
    const float colour = std::hypot(c.cb, c.cr) / std::max(c.y, 0.02f);
    // Light pixels of little colour: teeth, not the coloured lips.
    const float w = amount * clamp01(region) * smoothstep(0.3f * skin, 0.55f * skin, c.y) *
                    (1 - smoothstep(0.3f, 0.45f, colour));
    c.cb *= 1 - 0.55f * w;
    c.cr *= 1 - 0.55f * w;
    c.y = std::max(c.y, mix(c.y, std::min(1.08f * c.y, 0.92f), w));
    return finish(s, c, w);
}

}  // namespace Kernels

namespace {

Rect grown(const Rect& r, int by) { return {r.x - by, r.y - by, r.width + 2 * by, r.height + 2 * by}; }

// The stored-pixel rectangle of a picture rectangle in a picture `height` high.
cv::Rect stored(const Rect& r, int height) { return {r.x, height - r.maxY(), r.width, r.height}; }

// A landmark region's points in picture pixels for a face box given in
// fractions of a width × height picture.
std::vector<cv::Point2d> points(const std::vector<Vision::Point>& region, const Vision::Rect& box, int width, int height) {
    std::vector<cv::Point2d> out;
    for (const Vision::Point& p : region)
        out.push_back({width * (box.x + p.x * box.width), height * (box.y + p.y * box.height)});
    return out;
}

// A weight plane drawn at 8 bits and blurred, over a window of the picture.
struct Drawn {
    Rect window;   // picture rectangle the plane covers
    cv::Mat plane; // CV_32F, rows top-down, 0…1
};

// Shapes in picture pixels, drawn anti-aliased on a clear canvas over the
// smallest window that holds them and their blur, then blurred with edges
// repeated and cropped to the picture. A canvas that cannot be made gives an
// empty window (the shapes are skipped).
template <class Draw>
Drawn drawnMask(const Rect& shapes, double sigma, const Rect& extent, Draw&& draw) {
    const int reach = int(std::ceil(3 * sigma)) + 2;
    Drawn out;
    const Rect window = grown(shapes, reach).intersection(extent);
    if (window.empty()) return out;
    Imaging::MaskCanvas canvas(window, false);
    if (!canvas.ok()) return out;
    draw(canvas);
    out.window = window;
    out.plane = canvas.plane();
    Imaging::boxGaussianBlur(out.plane, sigma);
    return out;
}

Rect boundsOf(const std::vector<cv::Point2d>& pts) {
    double x0 = pts[0].x, x1 = x0, y0 = pts[0].y, y1 = y0;
    for (const auto& p : pts) {
        x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
    }
    const int left = int(std::floor(x0)), bottom = int(std::floor(y0));
    return {left, bottom, int(std::ceil(x1)) - left + 1, int(std::ceil(y1)) - bottom + 1};
}

Rect unite(const Rect& a, const Rect& b) {
    if (a.empty()) return b;
    const int x0 = std::min(a.x, b.x), y0 = std::min(a.y, b.y);
    return {x0, y0, std::max(a.maxX(), b.maxX()) - x0, std::max(a.maxY(), b.maxY()) - y0};
}

// The picture's own pixels to write into when nobody else holds them (a
// touch's earlier pass made them), a copy otherwise.
Image writable(Image&& image) {
    const cv::Mat& pixels = image.mat();
    if (pixels.u && pixels.u->refcount == 1 && pixels.isContinuous()) return std::move(image);
    return Image(Imaging::renderFloat(image), image.extent().x, image.extent().y);
}

// The picture with `kernel(pixel, weight, column, row)` applied inside a drawn window.
template <class Kernel>
Image applyInWindow(Image&& image, const Drawn& drawn, Kernel&& kernel) {
    if (drawn.window.empty()) return std::move(image);
    Image out = writable(std::move(image));
    const cv::Rect s = stored(drawn.window, out.height());
    Imaging::forRows(s.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const float* m = drawn.plane.ptr<float>(row);
            Pixel* o = out.mutableMat().ptr<Pixel>(s.y + row) + s.x;
            for (int col = 0; col < s.width; ++col) o[col] = kernel(o[col], m[col], s.x + col, s.y + row);
        }
    });
    return out;
}

struct Eye {
    std::vector<cv::Point2d> outline;
    cv::Point2d iris;
    double side = 0, inset = 0;
};

std::optional<Drawn> eyeRegions(const std::vector<const Vision::FaceObservation*>& faces, const Rect& extent) {
    std::vector<Eye> eyes;
    for (const Vision::FaceObservation* face : faces) {
        if (!face->landmarks) continue;
        const Vision::Landmarks& l = *face->landmarks;
        for (const auto& [eye, pupil] : {std::pair{&l.leftEye, &l.leftPupil}, std::pair{&l.rightEye, &l.rightPupil}}) {
            const auto pts = points(*eye, face->boundingBox, extent.width, extent.height);
            if (pts.size() < 6) continue;
            double x0 = pts[0].x, x1 = x0, y0 = pts[0].y, y1 = y0, sx = 0, sy = 0;
            for (const auto& p : pts) {
                x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
                sx += p.x, sy += p.y;
            }
            const double e = x1 - x0, h = y1 - y0;
            if (!(e >= 12 && 0.18 * e <= h)) continue;  // too small, or closed
            const auto centre = points(*pupil, face->boundingBox, extent.width, extent.height);
            const cv::Point2d iris = centre.empty() ? cv::Point2d(sx / pts.size(), sy / pts.size()) : centre.front();
            eyes.push_back({pts, iris, 2 * 0.21 * e, 0.025 * e});
        }
    }
    if (eyes.empty()) return std::nullopt;
    double largestInset = 0;
    Rect shapes;
    for (const Eye& eye : eyes) {
        largestInset = std::max(largestInset, eye.inset);
        shapes = unite(shapes, boundsOf(eye.outline));
    }
    // Each eye: the outline filled, shrunk by its inset (a stroke that
    // clears), and the iris cleared.
    return drawnMask(shapes, std::max(0.4 * largestInset, 0.8), extent, [&](Imaging::MaskCanvas& canvas) {
        for (const Eye& eye : eyes) {
            canvas.colour(true);
            canvas.polygon(eye.outline);
            canvas.fill(true);
            canvas.colour(false);
            canvas.stroke(2 * eye.inset);
            canvas.newPath();
            canvas.circle(eye.iris.x, eye.iris.y, eye.side / 2);
            canvas.fill();
        }
    });
}

std::optional<Drawn> mouthRegions(const std::vector<const Vision::FaceObservation*>& faces, const Rect& extent) {
    std::vector<std::pair<std::vector<cv::Point2d>, double>> mouths;
    for (const Vision::FaceObservation* face : faces) {
        if (!face->landmarks) continue;
        const auto inner = points(face->landmarks->innerLips, face->boundingBox, extent.width, extent.height);
        if (inner.size() < 6) continue;
        double x0 = inner[0].x, x1 = x0, y0 = inner[0].y, y1 = y0;
        for (const auto& p : inner) x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y), y1 = std::max(y1, p.y);
        const double m = x1 - x0, h = y1 - y0;
        const auto outer = points(face->landmarks->outerLips, face->boundingBox, extent.width, extent.height);
        if (m >= 16 && 0.08 * m <= h && outer.size() > 5) mouths.push_back({outer, 0.03 * m});
    }
    if (mouths.empty()) return std::nullopt;
    double largestInset = 0;
    Rect shapes;
    for (const auto& [outline, inset] : mouths) {
        largestInset = std::max(largestInset, inset);
        shapes = unite(shapes, boundsOf(outline));
    }
    return drawnMask(shapes, std::max(0.5 * largestInset, 0.8), extent, [&](Imaging::MaskCanvas& canvas) {
        for (const auto& [outline, inset] : mouths) {
            canvas.colour(true);
            canvas.polygon(outline);
            canvas.fill(true);
            canvas.colour(false);
            canvas.stroke(2 * inset);
        }
    });
}

bool covers(const cv::Mat& mask, const Image& image) {
    return mask.type() == CV_32FC1 && mask.cols == image.width() && mask.rows == image.height();
}

// The rectangle of stored pixels where a plane is above 0 (empty when nowhere).
cv::Rect positiveBounds(const cv::Mat& plane) {
    int top = plane.rows, bottom = -1, left = plane.cols, right = -1;
    for (int row = 0; row < plane.rows; ++row) {
        const float* m = plane.ptr<float>(row);
        int first = -1, last = -1;
        for (int col = 0; col < plane.cols; ++col)
            if (m[col] > 0) {
                first = col;
                break;
            }
        if (first < 0) continue;
        for (int col = plane.cols - 1; col >= first; --col)
            if (m[col] > 0) {
                last = col;
                break;
            }
        top = std::min(top, row), bottom = row;
        left = std::min(left, first), right = std::max(right, last);
    }
    return bottom < 0 ? cv::Rect() : cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

// Colour evenness for one region: the masked picture and the mask blurred
// together (the mask rides in alpha) at a fine and a broad scale. Where the
// mask is 0 the kernel keeps the pixel, so only the mask's bounds are
// written; the blurs read a window reaching the broad blur's radius past
// them, which gives the values a blur of the whole picture gives there.
Image evenness(Image&& image, const cv::Mat& mask, double faceWidth, float amount) {
    const cv::Rect box = positiveBounds(mask);
    if (box.empty()) return std::move(image);
    const double fineSigma = std::max(0.006 * faceWidth, 1.0), broadSigma = std::max(0.04 * faceWidth, 4.0);
    const Rect e = image.extent();
    const Rect maskRect{box.x, e.height - box.y - box.height, box.width, box.height};
    const Rect window = grown(maskRect, int(std::ceil(3 * broadSigma)) + 2).intersection(e);
    const cv::Rect s = stored(window, e.height);
    cv::Mat broad = Imaging::pooledMat(), fine = Imaging::pooledMat();
    broad.create(s.height, s.width, CV_32FC4);
    Imaging::forRows(s.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Pixel* in = image.mat().ptr<Pixel>(s.y + row) + s.x;
            const float* m = mask.ptr<float>(s.y + row) + s.x;
            Pixel* o = broad.ptr<Pixel>(row);
            for (int col = 0; col < s.width; ++col) o[col] = {in[col].r * m[col], in[col].g * m[col], in[col].b * m[col], m[col]};
        }
    });
    broad.copyTo(fine);
    // The two blurs side by side.
    Imaging::forRows(2, [&](int begin, int end) {
        for (int i = begin; i < end; ++i) Imaging::boxGaussianBlur(i == 0 ? fine : broad, i == 0 ? fineSigma : broadSigma);
    });
    Image out = writable(std::move(image));
    // The mask's bounds within the window.
    const cv::Rect inner(box.x - s.x, box.y - s.y, box.width, box.height);
    Imaging::forRows(inner.height, [&](int begin, int end) {
        for (int row = inner.y + begin; row < inner.y + end; ++row) {
            const float* m = mask.ptr<float>(s.y + row) + s.x;
            const Pixel *f = fine.ptr<Pixel>(row), *b = broad.ptr<Pixel>(row);
            Pixel* o = out.mutableMat().ptr<Pixel>(s.y + row) + s.x;
#pragma omp simd
            for (int col = inner.x; col < inner.x + inner.width; ++col)
                o[col] = Kernels::evenColor(o[col], f[col], f[col].a, b[col], b[col].a, m[col], amount);
        }
    });
    return out;
}

// The under-eye lift of one eye, or the picture unchanged when the eye is skipped.
Image underEyeLift(Image&& image, const std::vector<cv::Point2d>& pts, const cv::Mat& selectionMask, float amount) {
    if (pts.size() < 6) return std::move(image);
    double x0 = pts[0].x, x1 = x0, y0 = pts[0].y;
    for (const auto& p : pts) x0 = std::min(x0, p.x), x1 = std::max(x1, p.x), y0 = std::min(y0, p.y);
    const double e = x1 - x0;
    y0 += 0.02 * e;
    if (e < 12) return std::move(image);
    const Rect extent = image.extent();
    // The cheek sample, further down.
    const double cx = x0 + 0.15 * e, cy = y0 - 0.945 * e, cw = 0.7 * e, ch = 0.36 * e;
    const int left = int(std::ceil(cx)), bottom = int(std::ceil(cy));
    const Rect cheekRect = Rect{left, bottom, int(std::floor(cx + cw)) - left, int(std::floor(cy + ch)) - bottom}.intersection(extent);
    if (cheekRect.width < 2 || cheekRect.height < 2) return std::move(image);
    const Ycc cheek = toYcc(Imaging::areaAverage(image, cheekRect));
    // The band: the ellipse inscribed in (x0 − 0.05e, y0 − 0.45e, 1.1e, 0.45e), just under the eye.
    const cv::Point2d centre(x0 - 0.05 * e + 0.55 * e, y0 - 0.45 * e + 0.225 * e);
    const Rect bandRect{int(std::floor(x0 - 0.05 * e)), int(std::floor(y0 - 0.45 * e)), int(std::ceil(1.1 * e)) + 2,
                        int(std::ceil(0.45 * e)) + 2};
    const Drawn band = drawnMask(bandRect, std::max(0.12 * e, 0.8), extent, [&](Imaging::MaskCanvas& canvas) {
        canvas.ellipse(centre.x, centre.y, 0.55 * e, 0.225 * e);
        canvas.fill();
    });
    if (band.window.empty()) return std::move(image);
    // The local colour around each pixel of the band: a blur of a window wide
    // enough that the band's pixels read what a blur of the whole picture gives.
    const double localSigma = 0.08 * e;
    const Rect localWindow = grown(band.window, int(std::ceil(3 * localSigma)) + 2).intersection(extent);
    Image local(Imaging::renderFloat(Imaging::cropView(image, localWindow)), localWindow.x, localWindow.y);
    Imaging::boxGaussianBlur(local.mutableMat(), localSigma);
    const cv::Rect ls = stored(localWindow, extent.height);
    return applyInWindow(std::move(image), band, [&](const Pixel& p, float weight, int col, int row) {
        const float w = weight * selectionMask.at<float>(row, col);
        return Kernels::underEye(p, local.at(col - ls.x, row - ls.y), w, cheek, amount);
    });
}

}  // namespace

Image skin(const Image& image, const Selection& selection, const std::vector<Amounts>& amounts) {
    Image current = image;
    const std::size_t regions = std::min(selection.regions.size(), amounts.size());
    for (std::size_t i = 0; i < regions; ++i) {
        if (!(amounts[i].even > 0)) continue;
        if (!covers(selection.regions[i].mask, image)) throw Failure("Even color failed");
        current = evenness(std::move(current), selection.regions[i].mask, selection.regions[i].faceWidth, float(amounts[i].even));
    }
    const std::size_t faces = std::min(selection.faces.size(), amounts.size());
    for (std::size_t j = 0; j < faces; ++j) {
        const Vision::FaceObservation& face = selection.faces[j];
        if (!(amounts[j].underEye > 0) || !face.landmarks) continue;
        if (!covers(selection.mask, image)) throw Failure("Under-eye correction failed");
        for (const auto* eye : {&face.landmarks->leftEye, &face.landmarks->rightEye})
            current = underEyeLift(std::move(current), points(*eye, face.boundingBox, image.width(), image.height()), selection.mask,
                                   float(amounts[j].underEye));
    }
    return current;
}

Image features(const Image& image, const Selection& selection, const std::vector<Amounts>& amounts) {
    Image current = image;
    const Rect extent = image.extent();
    const float skinLuma = float(selection.skinLuma);
    const std::size_t faces = std::min(selection.faces.size(), amounts.size());
    // One pass per distinct amount, with the masks of all its faces drawn together.
    const auto passes = [&](double Amounts::*field, auto&& regions, auto&& kernel) {
        std::set<double> distinct;
        for (std::size_t i = 0; i < faces; ++i)
            if (amounts[i].*field > 0) distinct.insert(amounts[i].*field);
        for (const double a : distinct) {
            std::vector<const Vision::FaceObservation*> chosen;
            for (std::size_t i = 0; i < faces; ++i)
                if (amounts[i].*field == a) chosen.push_back(&selection.faces[i]);
            const std::optional<Drawn> m = regions(chosen, extent);
            if (!m) continue;
            current = applyInWindow(std::move(current), *m, [&](const Pixel& p, float weight, int, int) {
                return kernel(p, weight, float(a), skinLuma);
            });
        }
    };
    passes(&Amounts::whites, eyeRegions, Kernels::eyeWhite);
    passes(&Amounts::teeth, mouthRegions, Kernels::teeth);
    return current;
}

std::optional<cv::Mat> regions(const Selection& selection, cv::Size size, const std::vector<Amounts>& amounts) {
    const Rect extent{0, 0, size.width, size.height};
    const std::size_t faces = std::min(selection.faces.size(), amounts.size());
    std::vector<const Vision::FaceObservation*> whites, teeth;
    for (std::size_t i = 0; i < faces; ++i) {
        if (amounts[i].whites > 0) whites.push_back(&selection.faces[i]);
        if (amounts[i].teeth > 0) teeth.push_back(&selection.faces[i]);
    }
    const std::optional<Drawn> eyes = whites.empty() ? std::nullopt : eyeRegions(whites, extent);
    const std::optional<Drawn> mouths = teeth.empty() ? std::nullopt : mouthRegions(teeth, extent);
    if (!eyes && !mouths) return std::nullopt;
    cv::Mat out(size, CV_32F, cv::Scalar(0));
    for (const std::optional<Drawn>& d : {eyes, mouths})
        if (d && !d->window.empty()) {
            cv::Mat part = out(stored(d->window, size.height));
            part += d->plane;
        }
    return out;
}

}  // namespace FaceTouches
