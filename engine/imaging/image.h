#pragma once
// The engine's working picture and the operations every develop stage is
// written with.
//
// Model
// - An Image is a floating-point RGBA picture: 32-bit floats, four samples per
//   pixel, interleaved, held in a cv::Mat of type CV_32FC4. Values are not
//   limited to 0…1: a RAW decode carries highlights above 1.0 and some colour
//   conversions produce negatives; only the renderers clamp.
// - Every image has an extent: an integer rectangle in picture coordinates
//   whose origin is at the bottom-left with y going up. Rows are stored
//   top-down, so stored row r holds the picture row y = extent.y + height-1-r.
//   A pixel box (x, y, w, h) counted from the top-left of a picture of height H
//   is the extent rectangle (x, H - y - h, w, h); `Rect::fromTopLeft` does it.
// - Evaluation is eager: every operation returns a new image and never changes
//   its inputs, so an image may be shared freely between threads and caches
//   (copies share pixels; nobody writes into a finished image).
// - Per-pixel work goes through one parallel loop (`forRows`, OpenCV's
//   parallel_for_ over rows). A colour kernel is a plain function of one pixel
//   (`map`) or of the same pixel of two inputs (`combine`); a general kernel
//   (`generate`) computes each output pixel from its position and samples its
//   inputs freely with `sample`/`sampleBilinear`, which clamp to the extent.
// - Stage code stays simple: an operation that has nothing to do returns its
//   input unchanged.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>

#include "engine/imaging/bitmap.h"

namespace Imaging {

struct Pixel {
    float r = 0, g = 0, b = 0, a = 1;
};

// An integer rectangle in picture coordinates (origin bottom-left, y up).
struct Rect {
    int x = 0, y = 0, width = 0, height = 0;

    bool empty() const { return width <= 0 || height <= 0; }
    int maxX() const { return x + width; }
    int maxY() const { return y + height; }
    bool operator==(const Rect&) const = default;

    // The rectangle of a pixel box counted from the top-left of a picture `pictureHeight` high.
    static Rect fromTopLeft(int x, int y, int w, int h, int pictureHeight) {
        return {x, pictureHeight - y - h, w, h};
    }
    Rect intersection(const Rect& other) const;
};

class Image {
public:
    Image() = default;
    // A picture of the given extent whose pixels are not yet set (for code that fills every pixel).
    explicit Image(Rect extent);
    // A picture of the given extent with every pixel set to `fill`.
    static Image filled(Rect extent, Pixel fill);
    // Wraps float RGBA pixels (CV_32FC4, rows top-down); the extent starts at (x, y).
    Image(cv::Mat pixels, int x = 0, int y = 0);

    const Rect& extent() const { return extent_; }
    int width() const { return extent_.width; }
    int height() const { return extent_.height; }
    bool empty() const { return extent_.empty(); }

    // Stored pixels, rows top-down. Only the code that creates an image writes into them.
    const cv::Mat& mat() const { return pixels_; }
    cv::Mat& mutableMat() { return pixels_; }

    // The pixel at stored column `col` and stored row `row` (0 = top).
    const Pixel& at(int col, int row) const { return pixels_.ptr<Pixel>(row)[col]; }
    Pixel& at(int col, int row) { return pixels_.ptr<Pixel>(row)[col]; }

    // The same pixels with the extent moved to start at (x, y).
    Image movedTo(int x, int y) const;

private:
    cv::Mat pixels_;
    Rect extent_;
};

inline Pixel sampleImpl(const Image& image, int x, int y) {
    const Rect& e = image.extent();
    const int col = std::clamp(x - e.x, 0, e.width - 1);
    const int row = e.height - 1 - std::clamp(y - e.y, 0, e.height - 1);
    return image.at(col, row);
}

template <class Kernel>
Image generateImpl(const Rect& extent, Kernel&& kernel);

// The one parallel loop: calls body(firstRow, endRow) over [0, rows) in slices.
template <class Body>
void forRows(int rows, Body&& body) {
    if (rows <= 0) return;
    cv::parallel_for_(cv::Range(0, rows), [&](const cv::Range& range) { body(range.start, range.end); });
}

// Colour kernel of one input: out = kernel(in) at every pixel.
template <class Kernel>
Image map(const Image& input, Kernel&& kernel) {
    Image out(input.extent());
    const int w = input.width();
    forRows(input.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Pixel* in = input.mat().ptr<Pixel>(row);
            Pixel* o = out.mutableMat().ptr<Pixel>(row);
            for (int col = 0; col < w; ++col) o[col] = kernel(in[col]);
        }
    });
    return out;
}

// The same for a picture nobody else holds: its pixels are reused for the
// result (no new allocation) when this is the only reference to them.
template <class Kernel>
Image map(Image&& input, Kernel&& kernel) {
    const cv::Mat& pixels = input.mat();
    if (!pixels.u || pixels.u->refcount != 1) return map(static_cast<const Image&>(input), kernel);
    Image out = std::move(input);
    const int w = out.width();
    forRows(out.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            Pixel* o = out.mutableMat().ptr<Pixel>(row);
            for (int col = 0; col < w; ++col) o[col] = kernel(o[col]);
        }
    });
    return out;
}

// A row kernel: rows(in, out, count) writes `count` output pixels of a row
// from its input pixels; `out` is `in` when the input's pixels are reused
// (when nobody else holds them), so a row kernel must allow that.
template <class RowKernel>
Image mapRows(Image&& input, RowKernel&& rows) {
    const cv::Mat& pixels = input.mat();
    const bool reuse = pixels.u && pixels.u->refcount == 1;
    Image out = reuse ? std::move(input) : Image(input.extent());
    const Image& source = reuse ? out : input;
    const int w = out.width();
    forRows(out.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row)
            rows(source.mat().ptr<Pixel>(row), out.mutableMat().ptr<Pixel>(row), w);
    });
    return out;
}

// Colour kernel of two inputs over the first one's extent; `b` is sampled at
// the same picture position, clamped to its own extent.
template <class Kernel>
Image combine(const Image& a, const Image& b, Kernel&& kernel) {
    if (b.extent() != a.extent()) {
        const Rect e = a.extent();
        return generateImpl(e, [&](int x, int y) { return kernel(sampleImpl(a, x, y), sampleImpl(b, x, y)); });
    }
    Image out(a.extent());
    const int w = a.width();
    forRows(a.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const Pixel* pa = a.mat().ptr<Pixel>(row);
            const Pixel* pb = b.mat().ptr<Pixel>(row);
            Pixel* o = out.mutableMat().ptr<Pixel>(row);
            for (int col = 0; col < w; ++col) o[col] = kernel(pa[col], pb[col]);
        }
    });
    return out;
}

// General kernel: out(x, y) = kernel(x, y) for every pixel of `extent`, where
// (x, y) is the pixel's integer position in picture coordinates (lower-left corner).
template <class Kernel>
Image generate(const Rect& extent, Kernel&& kernel) {
    return generateImpl(extent, kernel);
}

template <class Kernel>
Image generateImpl(const Rect& extent, Kernel&& kernel) {
    Image out(extent);
    forRows(extent.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            Pixel* o = out.mutableMat().ptr<Pixel>(row);
            const int y = extent.y + extent.height - 1 - row;
            for (int col = 0; col < extent.width; ++col) o[col] = kernel(extent.x + col, y);
        }
    });
    return out;
}

// Samples in picture coordinates, clamped to the image's extent (edge pixels repeat).
inline Pixel sample(const Image& image, int x, int y) { return sampleImpl(image, x, y); }
// Bilinear sample at a continuous picture position (pixel centres at integer + 0.5).
Pixel sampleBilinear(const Image& image, double x, double y);

// ---- colour operations
Image exposure(const Image& input, double ev);  // rgb × 2^ev
float sRGBEncode(float linear);                 // mirrored for negative values
float sRGBDecode(float encoded);
// The same curves for per-pixel loops: a table over 0…1, linearly
// interpolated between 65536 steps (within 1e-7 of the formula); values
// beyond 1 use the formula and negative values are mirrored.
class SRGBTransfer {
public:
    static constexpr int steps = 65536;
    explicit SRGBTransfer(float (*curve)(float));
    float operator()(float v) const {
        const float m = std::fabs(v);
        if (!(m <= 1.0f)) return std::copysign(curve_(m), v);  // beyond the table, and NaN
        const float position = m * float(steps);
        const int i = int(position);
        const float f = position - float(i);
        const float* at = values_.data() + i;
        return std::copysign(at[0] + (at[1] - at[0]) * f, v);
    }

    // The curve over the colour channels of `count` pixels in place, alpha
    // kept: values in −1…1 in one vectorised loop, the rest one by one.
    void applyToColours(Pixel* pixels, int count) const;

    // The table itself (steps + 2 entries over 0…1, the last repeated), for
    // loops that interpolate in it with values already known to lie in 0…1.
    const float* table() const { return values_.data(); }

private:
    std::vector<float> values_;
    float (*curve_)(float);
};
const SRGBTransfer& sRGBEncoder();
const SRGBTransfer& sRGBDecoder();
Image sRGBToLinear(const Image& input);
Image sRGBToLinear(Image&& input);  // in place when nobody else holds the pixels
// Colour cube lookup over a cube of dimension³ RGBA entries, red fastest,
// values 0…1 (dimension ≥ 2, dimension³ × 4 floats, which the caller keeps
// alive): inputs are clamped to 0…1 and interpolated trilinearly; alpha is kept.
class CubeLookup {
public:
    CubeLookup(int dimension, const float* rgbaEntries)
        : entries_(rgbaEntries), dimension_(dimension), greenStride_(std::size_t(dimension) * 4),
          blueStride_(std::size_t(dimension) * std::size_t(dimension) * 4) {}
    Pixel operator()(const Pixel& p) const;
    // The lookup over `count` pixels; `out` may be `in`.
    void applyRow(const Pixel* in, Pixel* out, int count) const;

private:
    Pixel at(const Pixel& p) const;
    const float* entries_;
    int dimension_;
    std::size_t greenStride_, blueStride_;  // in floats; red steps by 4
};

// ---- compositing
Image multiply(const Image& a, const Image& b);
Image add(const Image& a, const Image& b);
Image maximum(const Image& a, const Image& b);

// ---- geometry and filters
// Gaussian blur of the image clamped to its extent (edges replicated), cropped back to the extent.
Image gaussianBlur(const Image& input, double sigma);
// A Gaussian blur in place on a float matrix of any channel count (masks,
// pixels), edges replicated, for wide blurs whose cost must not grow with
// sigma: up to sigma 3 the Gaussian itself; above, three box blurs whose
// widths give the Gaussian's variance as closely as odd widths allow (a soft
// edge differs from the Gaussian's by about 1 % of its height). Views are
// blurred on their own, their edges repeated.
void boxGaussianBlur(cv::Mat& pixels, double sigma);
// Anti-aliased Lanczos-3 scale; when shrinking the kernel is widened by the
// scale factor. Output size is round(width·scale·aspectRatio) × round(height·scale).
Image lanczosScale(const Image& input, double scale, double aspectRatio = 1.0);
// The same filter to an exact output size (the extent starts at (0, 0)).
Image lanczosResize(const Image& input, int width, int height);
// The same for a picture of inputWidth × inputHeight that is produced row by
// row: `row(r, scratch)` returns stored row r (0 = top), either its own
// pixels or `scratch` (room for inputWidth pixels) filled. It is called from
// several threads at once, for each row at least once.
using RowSource = std::function<const Pixel*(int row, Pixel* scratch)>;
Image lanczosResize(int inputWidth, int inputHeight, const RowSource& row, int width, int height);
// Affine transform (x' = a·x + c·y + tx, y' = b·x + d·y + ty in picture
// coordinates) of the image extended infinitely by repeating its edges,
// evaluated over `outputExtent` with bilinear sampling.
struct Affine {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    Affine inverted() const;
    static Affine rotation(double radians, double centreX, double centreY);
};
Image transform(const Image& input, const Affine& affine, const Rect& outputExtent);
// The part of the image inside `rect` (intersected with the extent), keeping its coordinates.
Image crop(const Image& input, const Rect& rect);
// The same without copying: the result shares the input's pixels (its rows
// are not contiguous). For short-lived results; a small view keeps the whole
// input's memory alive.
Image cropView(const Image& input, const Rect& rect);

// ---- reductions
Pixel areaAverage(const Image& input, const Rect& rect);

// ---- rendering
Bitmap renderRGBA8(const Image& input);  // clamped 0…1, rounded
Bitmap renderGrey8(const Image& input);  // red channel
// One stored row of `width` pixels as those two render it: `channels` 4
// (RGBA) or 1 (the red channel), for callers that render while they read.
void renderRow8(const Pixel* in, int width, int channels, std::uint8_t* out);
cv::Mat renderHalf(const Image& input);  // CV_16FC4
cv::Mat renderFloat(const Image& input); // CV_32FC4 copy
// Images from 8-bit bitmaps (grey, RGB or RGBA), values / 255, alpha 1 when absent.
Image fromBitmap(const Bitmap& bitmap);
Image fromHalf(const cv::Mat& half, int x = 0, int y = 0);

}  // namespace Imaging
