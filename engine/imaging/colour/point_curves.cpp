#include "engine/imaging/colour/point_curves.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "engine/imaging/pixel_lanes.h"
#include "engine/imaging/vector_loop.h"

namespace Curves {

namespace {

struct Point {
    double x;
    double y;
};

double unit(double v) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, 1.0); }

std::vector<Point> tidy(const Points& list) {
    std::vector<Point> kept;
    for (const auto& entry : list) {
        if (entry.size() < 2) continue;
        const Point p{unit(entry[0]), unit(entry[1])};
        if (!kept.empty() && std::fabs(p.x - kept.back().x) < 1e-6) continue;
        kept.push_back(p);
    }
    std::stable_sort(kept.begin(), kept.end(), [](const Point& a, const Point& b) { return a.x < b.x; });
    return kept;
}

}  // namespace

std::optional<Sampled> sample(const std::optional<Points>& points) {
    if (!points || points->size() < 2) return std::nullopt;
    const auto p = tidy(*points);
    const std::size_t n = p.size();
    if (n < 2) return std::nullopt;

    // Secants. Two equal x that were not neighbours in the input can meet
    // after sorting; such a zero-width segment is treated as flat so that its
    // neighbours stay finite.
    std::vector<double> delta(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        const double width = p[k + 1].x - p[k].x;
        delta[k] = width > 0 ? (p[k + 1].y - p[k].y) / width : 0.0;
    }

    // Tangents, then the monotonicity limit segment by segment.
    std::vector<double> m(n);
    m[0] = delta[0];
    m[n - 1] = delta[n - 2];
    for (std::size_t k = 1; k + 1 < n; ++k)
        m[k] = delta[k - 1] * delta[k] <= 0 ? 0.0 : (delta[k - 1] + delta[k]) / 2;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (delta[k] == 0) {
            m[k] = m[k + 1] = 0;
            continue;
        }
        const double alpha = m[k] / delta[k], beta = m[k + 1] / delta[k];
        const double tau = std::sqrt(alpha * alpha + beta * beta);
        if (tau > 3) {
            m[k] = 3 * alpha * delta[k] / tau;
            m[k + 1] = 3 * beta * delta[k] / tau;
        }
    }

    Sampled out{};
    std::size_t h = 0;
    for (int i = 0; i < samples; ++i) {
        const double v = i / 255.0;
        if (v <= p[0].x) {
            out[i] = p[0].y;
            continue;
        }
        if (v >= p[n - 1].x) {
            out[i] = p[n - 1].y;
            continue;
        }
        while (!(p[h].x < v && v <= p[h + 1].x)) ++h;
        const double d = p[h + 1].x - p[h].x, t = (v - p[h].x) / d;
        const double t2 = t * t, t3 = t2 * t;
        const double y = p[h].y * (2 * t3 - 3 * t2 + 1) + m[h] * d * (t3 - 2 * t2 + t) +
                         p[h + 1].y * (3 * t2 - 2 * t3) + m[h + 1] * d * (t3 - t2);
        out[i] = unit(y);
    }
    return out;
}

double lookup(const Sampled& table, double v) {
    const double p = std::min(v, 1.0) * (samples - 1);
    const int j = static_cast<int>(std::floor(p));
    const int j2 = std::min(j + 1, samples - 1);
    const double f = p - j;
    return (1 - f) * table[j] + f * table[j2];
}

std::optional<Tables> channelTables(const Set& set) {
    if (set.isEmpty()) return std::nullopt;
    const auto master = sample(set.master);
    const std::optional<Sampled> channel[3] = {sample(set.red), sample(set.green), sample(set.blue)};
    if (!master && !channel[0] && !channel[1] && !channel[2]) return std::nullopt;

    Tables tables{};
    Sampled* out[3] = {&tables.red, &tables.green, &tables.blue};
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < samples; ++i) {
            double v = i / 255.0;
            if (master) v = lookup(*master, v);
            if (channel[c]) v = lookup(*channel[c], std::clamp(v, 0.0, 1.0));
            (*out[c])[i] = v;
        }
    }
    return tables;
}

std::array<float, 3 * samples> interleaved(const Tables& tables) {
    std::array<float, 3 * samples> out{};
    for (int i = 0; i < samples; ++i) {
        out[3 * i] = static_cast<float>(tables.red[i]);
        out[3 * i + 1] = static_cast<float>(tables.green[i]);
        out[3 * i + 2] = static_cast<float>(tables.blue[i]);
    }
    return out;
}

FloatTables::FloatTables(const Tables& tables) {
    const Sampled* source[3] = {&tables.red, &tables.green, &tables.blue};
    for (std::size_t c = 0; c < 3; ++c) {
        float* table = values.data() + c * stride;
        for (std::size_t i = 0; i < samples; ++i) table[i] = static_cast<float>((*source[c])[i]);
        table[samples] = table[samples - 1];
    }
}

namespace {

// `lookup` written on vectors, two pixels at a time; the last pixel of an
// odd row goes through `apply`.
VECTOR_LOOP void pointCurveRow(const FloatTables& tables, const Imaging::Pixel* in, Imaging::Pixel* out, int count) {
    using namespace Imaging::PixelLanes;
    const float* t = tables.values.data();
    constexpr int s = FloatTables::stride;
    const Ints offset = {0, s, 2 * s, 0, 0, s, 2 * s, 0};
    const Ints alpha = {0, 0, 0, -1, 0, 0, 0, -1};
    int i = 0;
    for (; i + 2 <= count; i += 2) {
        Floats v, p;
        load(&in[i], v);
        unitOrZero(v, p);  // NaN reads the first entry
        p *= float(samples - 1);
        const Ints j = __builtin_convertvector(p, Ints);
        const Floats f = p - __builtin_convertvector(j, Floats);
        Floats lo, hi;
        neighbours(t, offset + j, lo, hi);
        const Floats looked = (1 - f) * lo + f * hi, result = alpha ? v : looked;
        store(&out[i], result);
    }
    for (; i < count; ++i) {
        const Colour::RGB c = apply(tables, {in[i].r, in[i].g, in[i].b});
        out[i] = {c.r, c.g, c.b, in[i].a};
    }
}

// Per lane of two pixels: where its table starts, its entries − 1, and
// whether it keeps its value (alpha, and channels without a curve).
struct CurveLanes {
    std::array<int, 8> offset;
    std::array<float, 8> scale;
    std::array<int, 8> keep;
};

// `curveValue` written on vectors, two pixels at a time.
VECTOR_LOOP void freeCurveRow(const float* t, const CurveLanes& lanes, const Imaging::Pixel* in, Imaging::Pixel* out,
                              int count) {
    using namespace Imaging::PixelLanes;
    Ints offset, keep;
    Floats scale;
    std::memcpy(&offset, lanes.offset.data(), sizeof offset);
    std::memcpy(&keep, lanes.keep.data(), sizeof keep);
    std::memcpy(&scale, lanes.scale.data(), sizeof scale);
    int i = 0;
    for (; i + 2 <= count; i += 2) {
        Floats v, position;
        load(&in[i], v);
        unitOrZero(v, position);
        position *= scale;
        const Ints whole = __builtin_convertvector(position, Ints);
        const Floats f = position - __builtin_convertvector(whole, Floats);
        Floats lo, hi;
        neighbours(t, offset + whole, lo, hi);
        const Floats curved = lo + (hi - lo) * f;
        store(&out[i], keep ? v : curved);
    }
    if (i < count) {
        // The last pixel of an odd row, padded to two.
        Imaging::Pixel pair[2] = {in[i], in[i]};
        freeCurveRow(t, lanes, pair, pair, 2);
        out[i] = pair[0];
    }
}

}  // namespace

void applyRow(const FloatTables& tables, const Imaging::Pixel* in, Imaging::Pixel* out, int count) {
    pointCurveRow(tables, in, out, count);
}

ColourCurveRows::ColourCurveRows(const std::array<std::vector<float>, 3>& tables) {
    for (std::size_t c = 0; c < 3; ++c) {
        const std::vector<float>& table = tables[c];
        offset_[c] = int(values_.size());
        empty_[c] = table.empty();
        scale_[c] = table.empty() ? 0.0f : float(table.size() - 1);
        values_.insert(values_.end(), table.begin(), table.end());
        values_.push_back(table.empty() ? 0.0f : table.back());
    }
}

void ColourCurveRows::apply(const Imaging::Pixel* in, Imaging::Pixel* out, int count) const {
    CurveLanes lanes{};
    for (std::size_t lane = 0; lane < 8; ++lane) {
        const std::size_t c = lane % 4;
        lanes.offset[lane] = c < 3 ? offset_[c] : 0;
        lanes.scale[lane] = c < 3 ? scale_[c] : 0.0f;
        lanes.keep[lane] = c < 3 && !empty_[c] ? 0 : -1;
    }
    freeCurveRow(values_.data(), lanes, in, out, count);
}

Colour::RGB apply(const Tables& tables, const Colour::RGB& pixel) {
    auto curve = [](const Sampled& table, float v) {
        return static_cast<float>(lookup(table, std::isnan(v) ? 0.0 : std::clamp<double>(v, 0.0, 1.0)));
    };
    return {curve(tables.red, pixel.r), curve(tables.green, pixel.g), curve(tables.blue, pixel.b)};
}

}  // namespace Curves
