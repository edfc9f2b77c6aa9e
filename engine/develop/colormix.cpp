#include "engine/develop/colormix.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "engine/imaging/vector_loop.h"

namespace ColorMix {

const std::array<Fit, bandCount> fits = {{
    {-19.6, 1.15, 32.9, 0.68, 2.44, -0.056, 0.19, 1},     // red
    {-39.3, 1.48, 44.9, 0.98, 1.88, -0.014, -0.38, 1.2},  // orange
    {-44.5, 1.04, 37.3, 1.43, 1.86, 0, -0.81, 1.16},      // yellow
    {-39.6, 0.66, 34.3, 1.05, 2.39, -0.016, -0.31, 0.94}, // green
    {-33.3, 0.96, 65.8, 0.62, 1.95, -0.001, -0.16, 0.86}, // aqua
    {-61.5, 1.38, 71.2, 1.27, 2.08, -0.081, 0.81, 1.45},  // blue
    {-61.3, 0.69, 27.8, 1.21, 2.54, -0.078, 0.4, 1.11},   // purple
    {-27.1, 0.85, 19, 0.87, 2.57, -0.049, 0.14, 0.9},     // magenta
}};

namespace {

double slider(const std::optional<double>& v) { return std::clamp(v.value_or(0.0), -100.0, 100.0); }

BandVectors vectors(const std::optional<Band>& band, const Fit& fit) {
    const Band b = band.value_or(Band{});
    const double u = slider(b.hue) / 100, v = slider(b.saturation) / 100, t = slider(b.luminance);
    const double F = std::pow(std::fabs(u), 0.8);
    BandVectors out;
    out.A = {static_cast<float>(F * (u < 0 ? fit.hueMinus : fit.huePlus) * std::numbers::pi / 180),
             static_cast<float>(F * ((u < 0 ? fit.hueMinusC : fit.huePlusC) - 1) + 1),
             static_cast<float>(v < 0 ? 1 + v : 1 + (fit.satPlus - 1) * v),
             static_cast<float>(v > 0 ? fit.satPlusL * v : 0)};
    out.B = {static_cast<float>(fit.luminance * t / 100), static_cast<float>(v < 0 ? -v * fit.satMinusL : 0), 0, 0};
    return out;
}

bool inGamut(const OKLab::Lab& lab) {
    const auto c = OKLab::toLinear(lab);
    for (float v : {c.r, c.g, c.b})
        if (v < 0 || v > 1) return false;
    return true;
}

}  // namespace

std::optional<Parameters> parameters(const Bands& bands) {
    if (bands.isEmpty()) return std::nullopt;
    const std::optional<Band>* list[bandCount] = {&bands.red,  &bands.orange, &bands.yellow, &bands.green,
                                                  &bands.aqua, &bands.blue,   &bands.purple, &bands.magenta};
    Parameters out;
    for (int i = 0; i < bandCount; ++i) out[i] = vectors(*list[i], fits[i]);
    return out;
}

Colour::RGB mix(const Colour::RGB& pixel, const Parameters& parameters) {
    const std::optional<OKLab::Lab> mixed = mixLab(OKLab::fromSRGB(pixel), parameters);
    return mixed ? OKLab::screen(*mixed) : pixel;
}

std::optional<OKLab::Lab> mixLab(const OKLab::Lab& lab, const Parameters& parameters) {
    const float C = OKLab::chroma(lab);
    if (C < 0.0005f) return std::nullopt;

    const float h = OKLab::hueDegrees(lab);
    const auto w = bandWeights(h);
    float total = 0;
    std::array<float, 4> s0{}, s1{};
    for (int band = 0; band < bandCount; ++band) {
        total += w[band];
        for (int k = 0; k < 4; ++k) {
            s0[k] += w[band] * parameters[band].A[k];
            s1[k] += w[band] * parameters[band].B[k];
        }
    }
    total = std::max(total, 0.0001f);
    for (int k = 0; k < 4; ++k) {
        s0[k] /= total;
        s1[k] /= total;
    }

    const Blended blended{s0[0], s0[1], s0[2], s0[3], s1[0], s1[1]};
    const OKLab::Lab res = mixedColour(lab.L, lab.a, lab.b, C, blended);
    return intoGamut(res);
}

DegreeValues::DegreeValues(const BandValues& perBand) {
    for (int d = 0; d < size; ++d) {
        const BandValues w = bandWeights(float(d));
        for (int band = 0; band < bandCount; ++band) table[std::size_t(d)] += w[band] * perBand[band];
    }
}

VECTOR_LOOP void hueDegrees(const float* __restrict a, const float* __restrict b, std::int32_t* __restrict degree,
                            float* __restrict fraction, int count) {
#pragma omp simd
    for (int i = 0; i < count; ++i) {
        const HueDegree h = hueDegree(a[i], b[i]);
        degree[i] = h.d;
        fraction[i] = h.f;
    }
}

OKLab::Lab intoGamut(OKLab::Lab lab) {
    if (inGamut(lab)) return lab;
    float lo = 0, hi = 1;
    for (int step = 0; step < 8; ++step) {
        const float mid = (lo + hi) / 2;
        if (inGamut({lab.L, lab.a * mid, lab.b * mid}))
            lo = mid;
        else
            hi = mid;
    }
    lab.a *= lo;
    lab.b *= lo;
    return lab;
}

}  // namespace ColorMix

namespace ChromaSliders {

const Table saturation = {
    {{0, 0, 0, 0, 0, 0, 0, 0}, {-0.004, -0.004, -0.004, -0.002, -0.002, -0.013, -0.011, -0.012}},
    {{0.461, 0.461, 0.49, 0.483, 0.476, 0.51, 0.511, 0.532}, {0, -0.002, -0.003, -0.002, -0.002, -0.008, -0.008, -0.008}},
    {{1.58, 1.58, 1.53, 1.545, 1.544, 1.415, 1.361, 1.292}, {0.001, 0.002, 0.003, 0.003, 0.005, 0.01, 0.009, 0.009}},
    {{2.223, 2.223, 2.076, 2.074, 1.935, 1.644, 1.522, 1.471}, {0.001, 0.005, 0.008, 0.009, 0.013, 0.022, 0.019, 0.017}},
};

const Table vibrance = {
    {{0.066, 0.066, 0.118, 0.171, 0.198, 0.236, 0.277, 0.31}, {-0.004, -0.024, -0.05, -0.078, -0.093, -0.067, -0.077, -0.071}},
    {{0.462, 0.462, 0.48, 0.505, 0.523, 0.541, 0.57, 0.596}, {-0.002, -0.01, -0.021, -0.033, -0.039, -0.024, -0.03, -0.025}},
    {{1.237, 1.237, 1.332, 1.331, 1.313, 1.223, 1.17, 1.135}, {0, 0, 0, 0, 0, 0, 0, 0}},
    {{1.792, 1.792, 2.114, 1.989, 1.858, 1.566, 1.399, 1.315}, {0, 0, 0, 0, 0, 0, 0, 0}},
};

Row row(const Table& table, double value) {
    static constexpr Row neutral{{1, 1, 1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0}};
    const double x = std::clamp(value, -100.0, 100.0);
    struct Segment {
        double x0, x1;
        const Row& r0;
        const Row& r1;
    };
    const Segment s = x <= -50 ? Segment{-100, -50, table.minus100, table.minus50}
                      : x <= 0 ? Segment{-50, 0, table.minus50, neutral}
                      : x <= 50 ? Segment{0, 50, neutral, table.plus50}
                                : Segment{50, 100, table.plus50, table.plus100};
    const double t = (x - s.x0) / (s.x1 - s.x0);
    Row out{};
    for (int j = 0; j < nodes; ++j) {
        out.factor[j] = static_cast<float>(s.r0.factor[j] + (s.r1.factor[j] - s.r0.factor[j]) * t);
        out.lightness[j] = static_cast<float>(s.r0.lightness[j] + (s.r1.lightness[j] - s.r0.lightness[j]) * t);
    }
    return out;
}

std::vector<Row> rows(const Develop::Look& look) {
    std::vector<Row> out;
    const double s = look.saturation.value_or(0), b = look.vibrance.value_or(0);
    if (s != 0) out.push_back(row(saturation, s));
    if (b != 0) out.push_back(row(vibrance, b));
    return out;
}

Colour::RGB apply(const Colour::RGB& pixel, const Row& row) { return OKLab::screen(adjust(OKLab::fromSRGB(pixel), row)); }

Colour::RGB apply(Colour::RGB pixel, const std::vector<Row>& chain) {
    for (const Row& row : chain) pixel = apply(pixel, row);
    return pixel;
}

}  // namespace ChromaSliders
