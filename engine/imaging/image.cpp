#include "engine/imaging/image.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "engine/imaging/pixel_pool.h"
#include "engine/imaging/vector_loop.h"

namespace Imaging {

// ---------------------------------------------------------------- basics

Rect Rect::intersection(const Rect& other) const {
    const int x0 = std::max(x, other.x), y0 = std::max(y, other.y);
    const int x1 = std::min(maxX(), other.maxX()), y1 = std::min(maxY(), other.maxY());
    if (x1 <= x0 || y1 <= y0) return {x0, y0, 0, 0};
    return {x0, y0, x1 - x0, y1 - y0};
}

Image::Image(Rect extent) : extent_(extent) {
    if (extent.empty()) return;
    pixels_.allocator = &PixelPool::shared();
    pixels_.create(extent.height, extent.width, CV_32FC4);
}

Image Image::filled(Rect extent, Pixel fill) {
    Image out(extent);
    if (!out.empty()) out.pixels_.setTo(cv::Scalar(fill.r, fill.g, fill.b, fill.a));
    return out;
}

Image::Image(cv::Mat pixels, int x, int y) : pixels_(std::move(pixels)), extent_{x, y, pixels_.cols, pixels_.rows} {
    CV_Assert(pixels_.empty() || pixels_.type() == CV_32FC4);
}

Image Image::movedTo(int x, int y) const {
    Image out = *this;
    out.extent_.x = x;
    out.extent_.y = y;
    return out;
}

Pixel sampleBilinear(const Image& image, double x, double y) {
    const Rect& e = image.extent();
    const double px = x - 0.5 - e.x, py = y - 0.5 - e.y;
    const double fx0 = std::floor(px), fy0 = std::floor(py);
    const float fx = float(px - fx0), fy = float(py - fy0);
    const auto clampCol = [&](double c) { return int(std::clamp(c, 0.0, double(e.width - 1))); };
    const auto clampRow = [&](double r) { return e.height - 1 - int(std::clamp(r, 0.0, double(e.height - 1))); };
    const int c0 = clampCol(fx0), c1 = clampCol(fx0 + 1);
    const int r0 = clampRow(fy0), r1 = clampRow(fy0 + 1);
    const Pixel& p00 = image.at(c0, r0);
    const Pixel& p10 = image.at(c1, r0);
    const Pixel& p01 = image.at(c0, r1);
    const Pixel& p11 = image.at(c1, r1);
    const auto mix = [&](float a, float b, float c, float d) {
        return (a * (1 - fx) + b * fx) * (1 - fy) + (c * (1 - fx) + d * fx) * fy;
    };
    return {mix(p00.r, p10.r, p01.r, p11.r), mix(p00.g, p10.g, p01.g, p11.g), mix(p00.b, p10.b, p01.b, p11.b),
            mix(p00.a, p10.a, p01.a, p11.a)};
}

// ---------------------------------------------------------------- colour

Image exposure(const Image& input, double ev) {
    const float gain = float(std::exp2(ev));
    return map(input, [gain](const Pixel& p) { return Pixel{p.r * gain, p.g * gain, p.b * gain, p.a}; });
}

namespace {

float exactEncode(float m) { return m <= 0.0031308f ? 12.92f * m : 1.055f * std::pow(m, 1.0f / 2.4f) - 0.055f; }
float exactDecode(float m) { return m <= 0.04045f ? m / 12.92f : std::pow((m + 0.055f) / 1.055f, 2.4f); }

}  // namespace

SRGBTransfer::SRGBTransfer(float (*curve)(float)) : values_(steps + 2), curve_(curve) {
    for (int i = 0; i <= steps; ++i) values_[std::size_t(i)] = curve(float(double(i) / steps));
    values_[steps + 1] = values_[steps];
}

namespace {

// Whether |v| > 1 or v is not a number, from its bits.
inline std::uint32_t beyondOne(float v) { return (std::bit_cast<std::uint32_t>(v) & 0x7fffffffu) > 0x3f800000u ? 1u : 0u; }

VECTOR_LOOP bool coloursWithinOne(const Pixel* __restrict pixels, int count) {
    std::uint32_t beyond = 0;
#pragma omp simd reduction(| : beyond)
    for (int i = 0; i < count; ++i) beyond |= beyondOne(pixels[i].r) | beyondOne(pixels[i].g) | beyondOne(pixels[i].b);
    return beyond == 0;
}

// The table of a transfer curve at v, for |v| ≤ 1.
inline float tabulated(const float* table, int steps, float v) {
    const float position = std::fabs(v) * float(steps);
    const int i = int(position);
    const float f = position - float(i);
    return std::copysign(table[i] + (table[i + 1] - table[i]) * f, v);
}

VECTOR_LOOP void tabulatedColours(const float* __restrict table, int steps, Pixel* __restrict pixels, int count) {
#pragma omp simd
    for (int i = 0; i < count; ++i) {
        pixels[i].r = tabulated(table, steps, pixels[i].r);
        pixels[i].g = tabulated(table, steps, pixels[i].g);
        pixels[i].b = tabulated(table, steps, pixels[i].b);
    }
}

}  // namespace

void SRGBTransfer::applyToColours(Pixel* pixels, int count) const {
    if (coloursWithinOne(pixels, count)) return tabulatedColours(values_.data(), steps, pixels, count);
    for (int i = 0; i < count; ++i) pixels[i] = Pixel{(*this)(pixels[i].r), (*this)(pixels[i].g), (*this)(pixels[i].b), pixels[i].a};
}

const SRGBTransfer& sRGBEncoder() {
    static const SRGBTransfer table(exactEncode);
    return table;
}

const SRGBTransfer& sRGBDecoder() {
    static const SRGBTransfer table(exactDecode);
    return table;
}

float sRGBEncode(float v) { return sRGBEncoder()(v); }

float sRGBDecode(float v) { return sRGBDecoder()(v); }

namespace {

Pixel transferredPixel(const SRGBTransfer& curve, const Pixel& p) { return Pixel{curve(p.r), curve(p.g), curve(p.b), p.a}; }

}  // namespace

Image sRGBToLinear(const Image& input) {
    const SRGBTransfer& decode = sRGBDecoder();
    return map(input, [&](const Pixel& p) { return transferredPixel(decode, p); });
}

Image sRGBToLinear(Image&& input) {
    const SRGBTransfer& decode = sRGBDecoder();
    return map(std::move(input), [&](const Pixel& p) { return transferredPixel(decode, p); });
}

namespace {

// Four floats handled as one register.
typedef float Quad __attribute__((vector_size(16)));

Quad loadQuad(const float* p) {
    Quad q;
    std::memcpy(&q, p, sizeof q);
    return q;
}

Quad lerp(Quad a, Quad b, float t) { return a + (b - a) * t; }

}  // namespace

inline Pixel CubeLookup::at(const Pixel& p) const {
    const float top = float(dimension_ - 1);
    const float rf = std::clamp(p.r, 0.0f, 1.0f) * top;
    const float gf = std::clamp(p.g, 0.0f, 1.0f) * top;
    const float bf = std::clamp(p.b, 0.0f, 1.0f) * top;
    const int r0 = std::min(int(rf), dimension_ - 2), g0 = std::min(int(gf), dimension_ - 2),
              b0 = std::min(int(bf), dimension_ - 2);
    const float fr = rf - float(r0), fg = gf - float(g0), fb = bf - float(b0);
    // The eight entries around the colour: along red, then green, then blue.
    const float* c = entries_ + std::size_t(b0) * blueStride_ + std::size_t(g0) * greenStride_ + std::size_t(r0) * 4;
    const float* cg = c + greenStride_;
    const float* cb = c + blueStride_;
    const float* cgb = cb + greenStride_;
    const Quad near = lerp(lerp(loadQuad(c), loadQuad(c + 4), fr), lerp(loadQuad(cg), loadQuad(cg + 4), fr), fg);
    const Quad far = lerp(lerp(loadQuad(cb), loadQuad(cb + 4), fr), lerp(loadQuad(cgb), loadQuad(cgb + 4), fr), fg);
    const Quad v = lerp(near, far, fb);
    return Pixel{v[0], v[1], v[2], p.a};
}

Pixel CubeLookup::operator()(const Pixel& p) const { return at(p); }

void CubeLookup::applyRow(const Pixel* in, Pixel* out, int count) const {
    for (int i = 0; i < count; ++i) out[i] = at(in[i]);
}

// ---------------------------------------------------------------- compositing

Image multiply(const Image& a, const Image& b) {
    return combine(a, b, [](const Pixel& p, const Pixel& q) { return Pixel{p.r * q.r, p.g * q.g, p.b * q.b, p.a * q.a}; });
}

Image add(const Image& a, const Image& b) {
    return combine(a, b, [](const Pixel& p, const Pixel& q) { return Pixel{p.r + q.r, p.g + q.g, p.b + q.b, p.a + q.a}; });
}

Image maximum(const Image& a, const Image& b) {
    return combine(a, b, [](const Pixel& p, const Pixel& q) {
        return Pixel{std::max(p.r, q.r), std::max(p.g, q.g), std::max(p.b, q.b), std::max(p.a, q.a)};
    });
}

// ---------------------------------------------------------------- geometry and filters

Image gaussianBlur(const Image& input, double sigma) {
    if (input.empty() || !(sigma > 0)) return input;
    const int radius = std::max(1, int(std::ceil(3 * sigma)));
    cv::Mat out = pooledMat();
    cv::GaussianBlur(input.mat(), out, cv::Size(2 * radius + 1, 2 * radius + 1), sigma, sigma, cv::BORDER_REPLICATE);
    return Image(out, input.extent().x, input.extent().y);
}

void boxGaussianBlur(cv::Mat& pixels, double sigma) {
    if (pixels.empty() || !(sigma > 0)) return;
    if (sigma <= 3) {
        cv::GaussianBlur(pixels, pixels, cv::Size(), sigma, sigma, cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
        return;
    }
    constexpr int passes = 3;
    const double ideal = std::sqrt(12 * sigma * sigma / passes + 1);
    int lower = int(std::floor(ideal));
    if (lower % 2 == 0) --lower;
    const int upper = lower + 2;
    const int lowerPasses = int(std::lround((12 * sigma * sigma - passes * lower * lower - 4.0 * passes * lower - 3 * passes) /
                                            (-4.0 * lower - 4)));
    for (int i = 0; i < passes; ++i) {
        const int k = i < lowerPasses ? lower : upper;
        cv::blur(pixels, pixels, cv::Size(k, k), cv::Point(-1, -1), cv::BORDER_REPLICATE | cv::BORDER_ISOLATED);
    }
}

namespace {

double lanczos3(double x) {
    x = std::fabs(x);
    if (x < 1e-9) return 1;
    if (x >= 3) return 0;
    const double px = M_PI * x;
    return 3 * std::sin(px) * std::sin(px / 3) / (px * px);
}

// For each output sample along one axis: the first input index and the
// weights. Taps beyond the input's edges are folded onto the edge sample
// (edges repeat), so every tap lies inside the input.
struct Taps {
    std::vector<int> first;
    std::vector<int> count;
    std::vector<float> weights;  // count[i] weights of output i, packed at i * stride
    int stride = 0;
};

Taps lanczosTaps(int inSize, int outSize) {
    Taps taps;
    const double scale = double(outSize) / inSize;
    const double widen = scale < 1 ? 1 / scale : 1;  // the kernel spreads over 1/scale inputs when shrinking
    const double support = 3 * widen;
    taps.stride = int(std::ceil(2 * support)) + 2;
    taps.first.resize(std::size_t(outSize));
    taps.count.resize(std::size_t(outSize));
    taps.weights.assign(std::size_t(outSize) * std::size_t(taps.stride), 0.0f);
    std::vector<double> w;
    for (int i = 0; i < outSize; ++i) {
        const double centre = (i + 0.5) / scale - 0.5;
        const int lo = int(std::floor(centre - support)) + 1;
        const int hi = std::min(int(std::ceil(centre + support)), lo + taps.stride - 1);
        const int first = std::clamp(lo, 0, inSize - 1), last = std::clamp(hi, 0, inSize - 1);
        double sum = 0;
        w.assign(std::size_t(last - first + 1), 0.0);
        for (int j = lo; j <= hi; ++j) {
            const double weight = lanczos3((j - centre) / widen);
            w[std::size_t(std::clamp(j, first, last) - first)] += weight;
            sum += weight;
        }
        taps.first[std::size_t(i)] = first;
        taps.count[std::size_t(i)] = int(w.size());
        for (std::size_t k = 0; k < w.size(); ++k)
            taps.weights[std::size_t(i) * std::size_t(taps.stride) + k] = float(sum != 0 ? w[k] / sum : 0);
    }
    return taps;
}

void storeQuad(Pixel* p, Quad q) { std::memcpy(static_cast<void*>(p), &q, sizeof q); }

}  // namespace

Image lanczosScale(const Image& input, double scale, double aspectRatio) {
    if (input.empty() || !(scale > 0) || !(aspectRatio > 0)) return input;
    const int outW = std::max(1, int(std::lround(input.width() * scale * aspectRatio)));
    const int outH = std::max(1, int(std::lround(input.height() * scale)));
    return lanczosResize(input, outW, outH);
}

Image lanczosResize(const Image& input, int outW, int outH) {
    if (input.empty() || outW <= 0 || outH <= 0) return input;
    if (outW == input.width() && outH == input.height()) return input.movedTo(0, 0);
    return lanczosResize(
        input.width(), input.height(), [&input](int row, Pixel*) { return input.mat().ptr<Pixel>(row); }, outW, outH);
}

Image lanczosResize(int inW, int inH, const RowSource& source, int outW, int outH) {
    if (inW <= 0 || inH <= 0 || outW <= 0 || outH <= 0) return Image();

    // Horizontal pass, then vertical. The output is made in bands of rows;
    // each band first filters horizontally just the input rows it needs, so
    // no full-height intermediate picture is held.
    const Taps horizontal = lanczosTaps(inW, outW);
    const Taps vertical = lanczosTaps(inH, outH);
    const auto filterRow = [&](const Pixel* in, Pixel* out) {
        for (int i = 0; i < outW; ++i) {
            const float* w = &horizontal.weights[std::size_t(i) * std::size_t(horizontal.stride)];
            const Pixel* p = in + horizontal.first[std::size_t(i)];
            Quad sum{0, 0, 0, 0};
            for (int k = 0; k < horizontal.count[std::size_t(i)]; ++k) sum += w[k] * loadQuad(&p[k].r);
            storeQuad(out + i, sum);
        }
    };
    constexpr int bandRows = 64;
    const int bands = (outH + bandRows - 1) / bandRows;
    // Input rows [top, bottom] feed band b's output rows.
    std::vector<std::pair<int, int>> feeds(std::size_t(bands), {inH, -1});
    int tallest = 0;
    for (int row = 0; row < outH; ++row) {
        auto& [top, bottom] = feeds[std::size_t(row / bandRows)];
        top = std::min(top, vertical.first[std::size_t(row)]);
        bottom = std::max(bottom, vertical.first[std::size_t(row)] + vertical.count[std::size_t(row)] - 1);
        tallest = std::max(tallest, bottom - top + 1);
    }
    Image result(Rect{0, 0, outW, outH});
    forRows(bands, [&](int firstBand, int endBand) {
        std::vector<Pixel> scratch(static_cast<std::size_t>(inW));
        cv::Mat filtered = pooledMat();
        filtered.create(tallest, outW, CV_32FC4);
        std::vector<const Pixel*> rows(std::size_t(vertical.stride));
        for (int band = firstBand; band < endBand; ++band) {
            const int begin = band * bandRows, end = std::min(outH, begin + bandRows);
            const auto [top, bottom] = feeds[std::size_t(band)];
            for (int row = top; row <= bottom; ++row) filterRow(source(row, scratch.data()), filtered.ptr<Pixel>(row - top));
            for (int row = begin; row < end; ++row) {
                Pixel* out = result.mutableMat().ptr<Pixel>(row);
                const float* w = &vertical.weights[std::size_t(row) * std::size_t(vertical.stride)];
                const int first = vertical.first[std::size_t(row)], count = vertical.count[std::size_t(row)];
                for (int k = 0; k < count; ++k) rows[std::size_t(k)] = filtered.ptr<Pixel>(first + k - top);
                for (int col = 0; col < outW; ++col) {
                    Quad sum{0, 0, 0, 0};
                    for (int k = 0; k < count; ++k) sum += w[k] * loadQuad(&rows[std::size_t(k)][col].r);
                    storeQuad(out + col, sum);
                }
            }
        }
    });
    return result;
}

Affine Affine::inverted() const {
    const double det = a * d - b * c;
    if (std::fabs(det) < 1e-12) return {};
    Affine inv;
    inv.a = d / det, inv.b = -b / det, inv.c = -c / det, inv.d = a / det;
    inv.tx = -(inv.a * tx + inv.c * ty);
    inv.ty = -(inv.b * tx + inv.d * ty);
    return inv;
}

Affine Affine::rotation(double radians, double cx, double cy) {
    const double cs = std::cos(radians), sn = std::sin(radians);
    // translate the centre to the origin, rotate, translate back
    return {cs, sn, -sn, cs, cx - cs * cx + sn * cy, cy - sn * cx - cs * cy};
}

Image transform(const Image& input, const Affine& affine, const Rect& outputExtent) {
    if (input.empty() || outputExtent.empty()) return input;
    // The inverse map in stored (top-down) pixel positions, for OpenCV's
    // bilinear warp with replicated edges.
    const Affine inv = affine.inverted();
    const Rect& in = input.extent();
    const Rect& out = outputExtent;
    const double ox = out.x + 0.5, oy = out.y + out.height - 0.5;
    const double m[6] = {inv.a, -inv.c, inv.a * ox + inv.c * oy + inv.tx - in.x - 0.5,
                         -inv.b, inv.d, in.y + in.height - 0.5 - (inv.b * ox + inv.d * oy + inv.ty)};
    cv::Mat result = pooledMat();
    cv::warpAffine(input.mat(), result, cv::Mat(2, 3, CV_64F, const_cast<double*>(m)), cv::Size(out.width, out.height),
                   cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    return Image(result, out.x, out.y);
}

Image crop(const Image& input, const Rect& rect) {
    const Rect r = input.extent().intersection(rect);
    if (r.empty()) return Image();
    if (r == input.extent()) return input;
    const Rect& e = input.extent();
    const int col = r.x - e.x;
    const int row = e.maxY() - r.maxY();
    cv::Mat part = pooledMat();
    input.mat()(cv::Rect(col, row, r.width, r.height)).copyTo(part);
    return Image(std::move(part), r.x, r.y);
}

Image cropView(const Image& input, const Rect& rect) {
    const Rect r = input.extent().intersection(rect);
    if (r.empty()) return Image();
    if (r == input.extent()) return input;
    const Rect& e = input.extent();
    return Image(input.mat()(cv::Rect(r.x - e.x, e.maxY() - r.maxY(), r.width, r.height)), r.x, r.y);
}

// ---------------------------------------------------------------- reductions

Pixel areaAverage(const Image& input, const Rect& rect) {
    const Image part = crop(input, rect);
    if (part.empty()) return {0, 0, 0, 0};
    const cv::Scalar m = cv::mean(part.mat());
    return {float(m[0]), float(m[1]), float(m[2]), float(m[3])};
}

// ---------------------------------------------------------------- rendering

namespace {

std::uint8_t to8(float v) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 1) return 255;
    return std::uint8_t(v * 255.0f + 0.5f);
}

Bitmap render8(const Image& input, int channels) {
    Bitmap out(input.width(), input.height(), channels);
    forRows(input.height(), [&](int begin, int end) {
        for (int row = begin; row < end; ++row) renderRow8(input.mat().ptr<Pixel>(row), input.width(), channels, out.row(row));
    });
    return out;
}

}  // namespace

void renderRow8(const Pixel* in, int width, int channels, std::uint8_t* o) {
    for (int col = 0; col < width; ++col, o += channels) {
        const Pixel& p = in[col];
        if (channels == 1) {
            o[0] = to8(p.r);
            continue;
        }
        o[0] = to8(p.r), o[1] = to8(p.g), o[2] = to8(p.b);
        if (channels == 4) o[3] = to8(p.a);
    }
}

Bitmap renderRGBA8(const Image& input) { return render8(input, 4); }
Bitmap renderGrey8(const Image& input) { return render8(input, 1); }

cv::Mat renderHalf(const Image& input) {
    cv::Mat out;
    if (!input.empty()) input.mat().convertTo(out, CV_16FC4);
    return out;
}

cv::Mat renderFloat(const Image& input) {
    cv::Mat out = pooledMat();
    input.mat().copyTo(out);
    return out;
}

Image fromBitmap(const Bitmap& bitmap) {
    Image out(Rect{0, 0, bitmap.width, bitmap.height});
    const int channels = bitmap.channels;
    forRows(bitmap.height, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const std::uint8_t* in = bitmap.row(row);
            Pixel* o = out.mutableMat().ptr<Pixel>(row);
            for (int col = 0; col < bitmap.width; ++col, in += channels) {
                if (channels == 1) {
                    const float v = in[0] / 255.0f;
                    o[col] = {v, v, v, 1};
                } else {
                    o[col] = {in[0] / 255.0f, in[1] / 255.0f, in[2] / 255.0f, channels == 4 ? in[3] / 255.0f : 1.0f};
                }
            }
        }
    });
    return out;
}

Image fromHalf(const cv::Mat& half, int x, int y) {
    cv::Mat out = pooledMat();
    half.convertTo(out, CV_32FC4);
    return Image(out, x, y);
}

}  // namespace Imaging
