#include "engine/portrait/color_range_skin.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <opencv2/imgproc.hpp>

#include "engine/imaging/mask_canvas.h"
#include "engine/imaging/pixel_pool.h"
#include "engine/portrait/face_skin_model.h"
#include "engine/portrait/faces.h"
#include "engine/vision/person_segmentation.h"

namespace ColorRangeSkin {

namespace {

constexpr const char* needsFinitePhoto = "Color-range skin needs a finite photo";
constexpr const char* cannotPrepare = "Could not prepare the photo for skin selection";

// out(row, col) = kernel(pixel, a(row, col)) over `part` (a view of the
// photo of a's size), on the imaging core's parallel loop.
template <class Kernel>
cv::Mat perPixel(const Imaging::Image& part, const cv::Mat& a, Kernel&& kernel) {
    cv::Mat out(part.height(), part.width(), CV_32F);
    const int w = part.width();
    Imaging::forRows(part.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Imaging::Pixel* px = part.mat().ptr<Imaging::Pixel>(row);
            const float* in = a.ptr<float>(row);
            float* o = out.ptr<float>(row);
#pragma omp simd
            for (int col = 0; col < w; ++col) o[col] = kernel(px[col], in[col]);
        }
    });
    return out;
}

// Closing by a disc: dilation then erosion. A disc wider than a few pixels is
// taken as the union of four rectangles (a 16-sided polygon close to the
// disc), so each step is the maximum (minimum) of four separable ones.
void closing(cv::Mat& plane, double radius) {
    const int r = std::max(1, int(std::lround(radius)));
    if (r <= 3) {
        const cv::Mat disc = cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * r + 1, 2 * r + 1));
        cv::dilate(plane, plane, disc, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
        cv::erode(plane, plane, disc, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
        return;
    }
    std::vector<cv::Mat> rectangles;
    for (const double degrees : {11.25, 33.75, 56.25, 78.75}) {
        const double t = degrees * M_PI / 180;
        const int a = int(std::lround(r * std::cos(t))), b = int(std::lround(r * std::sin(t)));
        rectangles.push_back(cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * a + 1, 2 * b + 1)));
    }
    for (const int op : {cv::MORPH_DILATE, cv::MORPH_ERODE}) {
        cv::Mat result, step;
        for (const cv::Mat& k : rectangles) {
            cv::morphologyEx(plane, step, op, k, cv::Point(-1, -1), 1, cv::BORDER_REPLICATE);
            if (result.empty()) result = step.clone();
            else if (op == cv::MORPH_DILATE) cv::max(result, step, result);
            else cv::min(result, step, result);
        }
        plane = result;
    }
}

// An output plane of the photo's size, in recycled pixel memory (a fresh
// plane of a 24 MP photo is 96 MB of pages to fault in): all 0, or, with a
// frame, 0 outside it and left for the caller to write inside.
cv::Mat outputPlane(int height, int width, const cv::Rect& frame = {}) {
    cv::Mat plane = Imaging::pooledMat();
    plane.create(height, width, CV_32F);
    if (frame.empty()) {
        plane.setTo(0);
        return plane;
    }
    plane.rowRange(0, frame.y).setTo(0);
    plane.rowRange(frame.y + frame.height, height).setTo(0);
    plane(cv::Rect(0, frame.y, frame.x, frame.height)).setTo(0);
    plane(cv::Rect(frame.x + frame.width, frame.y, width - frame.x - frame.width, frame.height)).setTo(0);
    return plane;
}

// The stored rows and columns of a picture rectangle in a photo `height` high.
cv::Rect rowsOf(const Imaging::Rect& r, int height) { return cv::Rect(r.x, height - r.maxY(), r.width, r.height); }

Path region(const Vision::FaceObservation& face, const std::vector<Vision::Point>& points, int width, int height) {
    const Vision::Rect& b = face.boundingBox;
    Path out;
    out.reserve(points.size());
    for (const auto& p : points) out.push_back({width * (b.x + p.x * b.width), height * (b.y + p.y * b.height)});
    return out;
}

struct Bounds {
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
};
Bounds boundsOf(const Path& p) {
    Bounds b{p[0].x, p[0].y, p[0].x, p[0].y};
    for (const auto& q : p) {
        b.minX = std::min(b.minX, q.x);
        b.maxX = std::max(b.maxX, q.x);
        b.minY = std::min(b.minY, q.y);
        b.maxY = std::max(b.maxY, q.y);
    }
    return b;
}

// The integral rectangle covering a real one, intersected with the photo.
Imaging::Rect covering(double x0, double y0, double x1, double y1, int width, int height) {
    const int ix0 = int(std::floor(std::clamp(x0, -1e9, 1e9))), iy0 = int(std::floor(std::clamp(y0, -1e9, 1e9)));
    const int ix1 = int(std::ceil(std::clamp(x1, -1e9, 1e9))), iy1 = int(std::ceil(std::clamp(y1, -1e9, 1e9)));
    return Imaging::Rect{ix0, iy0, std::max(ix1 - ix0, 0), std::max(iy1 - iy0, 0)}.intersection({0, 0, width, height});
}

}  // namespace

SkinVector skinVector(double r, double g, double b) {
    return {-0.168736 * r - 0.331264 * g + 0.5 * b, 0.5 * r - 0.418688 * g - 0.081312 * b, 0.299 * r + 0.587 * g + 0.114 * b};
}

Box sampleRectangle(const Vision::Rect& b, int width, int height) {
    // The detector's boxes run from the brows to the chin: between 48% and
    // 68% of the box height above its bottom lie the nose and the inner
    // cheeks, below the eyes and above the nostrils and the mouth.
    return {width * (b.x + 0.25 * b.width), height * (b.y + 0.48 * b.height), 0.5 * b.width * width,
            0.2 * b.height * height};
}

Path faceShape(const Vision::FaceObservation& face, int width, int height) {
    const Vision::Rect& b = face.boundingBox;
    if (face.landmarks && face.landmarks->faceContour.size() > 4) {
        Path path = region(face, face.landmarks->faceContour, width, height);
        const Vision::Point A = path.front(), B = path.back();
        const Vision::Point M{(A.x + B.x) / 2, (A.y + B.y) / 2};
        const double d = std::hypot(B.x - A.x, B.y - A.y), phi = std::atan2(B.y - A.y, B.x - A.x);
        const double h = std::max(height * (b.y + b.height + 0.35 * b.height) - M.y, 1.0);
        for (int k = 1; k <= 23; ++k) {
            const double theta = k * M_PI / 24;
            const double a = d / 2 * std::cos(theta);
            const double c = (A.x > B.x ? -1 : 1) * h * std::sin(theta);
            path.push_back({M.x + a * std::cos(phi) - c * std::sin(phi), M.y + a * std::sin(phi) + c * std::cos(phi)});
        }
        return path;
    }
    // The face box grown by 8% of its width on each side and 15% of its
    // height at top and bottom, moved up by 12% of its height.
    const double bw = width * b.width, bh = height * b.height;
    const double cx = width * b.x + bw / 2, cy = height * b.y + bh / 2 + 0.12 * bh;
    const double rx = bw * 1.16 / 2, ry = bh * 1.3 / 2;
    Path path;
    constexpr int steps = 96;
    for (int i = 0; i < steps; ++i) {
        const double t = 2 * M_PI * i / steps;
        path.push_back({cx + rx * std::cos(t), cy + ry * std::sin(t)});
    }
    return path;
}

namespace {

// The drawing steps over `frame` of a width x height photo.

std::optional<cv::Mat> fillIn(const Path& path, const std::vector<Path>& minus, const Imaging::Rect& frame,
                              double feather) {
    if (frame.empty()) return std::nullopt;
    Imaging::MaskCanvas canvas(frame, false);
    if (!canvas.ok()) return std::nullopt;
    canvas.colour(true);
    canvas.polygon(path);
    canvas.fill();
    canvas.colour(false);
    for (const Path& other : minus) {
        canvas.polygon(other);
        canvas.fill();
    }
    cv::Mat plane = canvas.plane();
    Imaging::boxGaussianBlur(plane, std::max(feather, 1.0));
    return plane;
}

std::optional<cv::Mat> protectionIn(const std::vector<Vision::FaceObservation>& faces, int width, int height,
                                    const Imaging::Rect& frame) {
    if (faces.empty() || frame.empty()) return std::nullopt;
    Imaging::MaskCanvas canvas(frame, true);
    if (!canvas.ok()) return std::nullopt;
    canvas.colour(false);
    for (const auto& face : faces) {
        if (!face.landmarks) continue;
        const double line = std::max(width * face.boundingBox.width * 0.04, 2.0);
        const auto& l = *face.landmarks;
        for (const auto* points : {&l.leftEye, &l.rightEye, &l.leftEyebrow, &l.rightEyebrow, &l.outerLips}) {
            if (points->size() < 3) continue;
            canvas.polygon(region(face, *points, width, height));
            canvas.fill(true);
            canvas.stroke(line);
        }
    }
    cv::Mat plane = canvas.plane();
    Imaging::boxGaussianBlur(plane, 2);
    return plane;
}

std::optional<cv::Mat> nosesIn(const std::vector<Vision::FaceObservation>& faces, int width, int height,
                               const Imaging::Rect& frame) {
    if (faces.empty() || frame.empty()) return std::nullopt;
    Imaging::MaskCanvas canvas(frame, true);
    if (!canvas.ok()) return std::nullopt;
    canvas.colour(false);
    for (const auto& face : faces) {
        if (!face.landmarks || face.landmarks->nose.size() < 3) continue;
        const Path nose = region(face, face.landmarks->nose, width, height);
        const Bounds n = boundsOf(nose);
        const double m = width * face.boundingBox.width * 0.04;
        // The clip: from m below the nose up to 40% of its height.
        canvas.save();
        canvas.newPath();
        canvas.rectangle(n.minX - m, n.minY - m, (n.maxX - n.minX) + 2 * m, m + 0.4 * (n.maxY - n.minY));
        canvas.clip();
        canvas.polygon(nose);
        canvas.fill(true);
        canvas.stroke(2 * m);
        canvas.restore();
    }
    return canvas.plane();
}

}  // namespace

std::optional<cv::Mat> fill(const Path& path, const std::vector<Path>& minus, int width, int height, double feather) {
    if (width <= 0 || height <= 0) return std::nullopt;
    return fillIn(path, minus, {0, 0, width, height}, feather);
}

std::optional<cv::Mat> protection(const std::vector<Vision::FaceObservation>& faces, int width, int height) {
    if (width <= 0 || height <= 0) return std::nullopt;
    return protectionIn(faces, width, height, {0, 0, width, height});
}

std::optional<cv::Mat> noses(const std::vector<Vision::FaceObservation>& faces, int width, int height) {
    if (width <= 0 || height <= 0) return std::nullopt;
    return nosesIn(faces, width, height, {0, 0, width, height});
}

Analysis analyse(const Imaging::Bitmap& copy) {
    Analysis a;
    a.person = PersonSegmentation::segment(copy);
    a.faces = Vision::findFaces(copy);
    return a;
}

Result make(const Imaging::Image& image, const Analyser& analyser) {
    const Imaging::Rect extent = image.extent();
    if (extent.empty() || extent.x != 0 || extent.y != 0) throw Failure(needsFinitePhoto);
    const int W = extent.width, H = extent.height;

    // The analysis copy.
    const double s = std::min(double(analysisEdge) / std::max(W, H), 1.0);
    const int cw = int(std::floor(s * W)), ch = int(std::floor(s * H));
    if (cw < 1 || ch < 1) throw Failure(cannotPrepare);
    Imaging::Bitmap copy;
    try {
        copy = Imaging::renderRGBA8(cw == W && ch == H ? image : Imaging::lanczosResize(image, cw, ch));
    } catch (const cv::Exception&) {
        throw Failure(cannotPrepare);
    }
    const Analysis analysis = analyser(copy);

    std::vector<Vision::FaceObservation> confident;
    for (const auto& f : analysis.faces)
        if (f.confidence >= PortraitFaces::minimumConfidence) confident.push_back(f);

    // The skin colour: the mean of the faces' sample averages.
    SkinVector skin{0, 0, 0};
    int samples = 0;
    for (const auto& f : confident) {
        const Box r = sampleRectangle(f.boundingBox, W, H);
        const double x0 = std::max(r.x, 0.0), y0 = std::max(r.y, 0.0);
        const double x1 = std::min(r.x + r.width, double(W)), y1 = std::min(r.y + r.height, double(H));
        if (x1 - x0 < 2 || y1 - y0 < 2) continue;
        const Imaging::Pixel mean = Imaging::areaAverage(image, covering(x0, y0, x1, y1, W, H));
        const SkinVector v = skinVector(mean.r, mean.g, mean.b);
        skin.cb += v.cb;
        skin.cr += v.cr;
        skin.y += v.y;
        ++samples;
    }
    if (samples) skin = {skin.cb / samples, skin.cr / samples, skin.y / samples};
    else skin = fallbackSkin;

    Result result;
    result.skinLuma = skin.y;
    result.mask = outputPlane(H, W);
    result.spotMask = outputPlane(H, W);

    // The faces to retouch: widest first (a stable sort), at most
    // maximumFaces, at least 32 pixels wide; and their shapes.
    std::vector<Vision::FaceObservation> order = confident;
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.boundingBox.width > b.boundingBox.width; });
    if (order.size() > std::size_t(PortraitFaces::maximumFaces)) order.resize(PortraitFaces::maximumFaces);
    std::vector<std::pair<Vision::FaceObservation, Path>> shaped;
    for (const auto& face : order)
        if (face.boundingBox.width * W >= minimumFaceWidth) shaped.emplace_back(face, faceShape(face, W, H));
    if (shaped.empty()) return result;

    // Everything below is needed only where a face shape reaches (its
    // feather included), plus the reach of the selection's blur and closing:
    // that part of the photo is the frame the planes cover.
    double widest = 0;
    for (const auto& f : confident) widest = std::max(widest, f.boundingBox.width * W);
    const double radius = confident.empty() ? 2.0 : std::max(0.014 * widest, 2.0);
    const double selectionSigma = std::max(std::max(W, H) * 0.0015, 1.5);
    double x0 = W, y0 = H, x1 = 0, y1 = 0;
    for (const auto& [face, path] : shaped) {
        const Bounds b = boundsOf(path);
        const double reach = 4 * std::max(0.04 * face.boundingBox.width * W, 1.0) + 4 * selectionSigma + radius + 4;
        x0 = std::min(x0, b.minX - reach);
        y0 = std::min(y0, b.minY - reach);
        x1 = std::max(x1, b.maxX + reach);
        y1 = std::max(y1, b.maxY + reach);
    }
    const Imaging::Rect frame = covering(x0, y0, x1, y1, W, H);
    if (frame.empty()) return result;
    const cv::Rect frameRows = rowsOf(frame, H);
    const Imaging::Image part = Imaging::cropView(image, frame);

    // The person mask over the frame, scaled bilinearly from the segmentation;
    // without a segmentation nothing is skin.
    cv::Mat person = cv::Mat::zeros(frame.height, frame.width, CV_32F);
    if (analysis.person && !analysis.person->empty() && analysis.person->channels == 1) {
        const Imaging::Bitmap& p = *analysis.person;
        const cv::Mat bytes(p.height, p.width, CV_8U, const_cast<std::uint8_t*>(p.pixels.data()), p.stride());
        cv::Mat small;
        bytes.convertTo(small, CV_32F, 1.0 / 255.0);
        // Frame pixel (c, r) samples the segmentation at ((c + left + 0.5) sx - 0.5, ...).
        const double sx = double(p.width) / W, sy = double(p.height) / H;
        const cv::Matx23d toSource(sx, 0, (frameRows.x + 0.5) * sx - 0.5, 0, sy, (frameRows.y + 0.5) * sy - 0.5);
        cv::warpAffine(small, person, toSource, person.size(), cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
    }

    // Colour selection, softened, then closed.
    cv::Mat selection = perPixel(part, person, [&](const Imaging::Pixel& px, float p) { return skinRange(px, p, skin); });
    person.release();
    Imaging::boxGaussianBlur(selection, selectionSigma);
    closing(selection, radius);

    // The skin mask: the face skin model's when it gives one, else the
    // selection without what is much darker than the skin.
    cv::Mat G;
    if (auto model = FaceSkinModel::mask(image, confident)) G = (*model)(frameRows).clone();
    else G = perPixel(part, selection, [&](const Imaging::Pixel& px, float m) { return notDark(px, m, float(skin.y)); });
    selection.release();
    if (const auto guard = protectionIn(confident, W, H, frame)) cv::multiply(G, *guard, G);

    cv::Mat maskSum = result.mask(frameRows);
    cv::Mat shapes = cv::Mat::zeros(frame.height, frame.width, CV_32F);
    std::vector<Path> drawn;
    for (const auto& [face, path] : shaped) {
        const Vision::Rect& b = face.boundingBox;
        const double w = b.width * W;
        const std::optional<cv::Mat> F = fillIn(path, drawn, frame, 0.04 * w);
        if (!F) continue;
        drawn.push_back(path);
        result.faces.push_back(face);
        Region r;
        r.mask = outputPlane(H, W, frameRows);  // inside the frame: G × F
        cv::Mat own = r.mask(frameRows);
        cv::multiply(G, *F, own);
        const Bounds pb = boundsOf(path);
        r.bounds = covering(pb.minX - 0.1 * w, pb.minY - 0.1 * w, pb.maxX + 0.1 * w, pb.maxY + 0.1 * w, W, H);
        const double top = std::max(H * (b.y + b.height + 0.22 * b.height) - r.bounds.y, 0.0);
        r.spotBounds = r.bounds.intersection({r.bounds.x, r.bounds.y, r.bounds.width, int(std::floor(top))});
        r.faceWidth = std::min(double(W), w);
        maskSum += own;
        shapes += *F;
        result.regions.push_back(std::move(r));
    }

    // Protected skin x face shapes x nostrils.
    cv::Mat spot = result.spotMask(frameRows);
    cv::multiply(G, shapes, spot);
    if (const auto nostrils = nosesIn(confident, W, H, frame)) cv::multiply(spot, *nostrils, spot);
    return result;
}

}  // namespace ColorRangeSkin
