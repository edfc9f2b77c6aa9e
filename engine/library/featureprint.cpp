// Feature print: a 768-float descriptor of a picture's content, made of three
// blocks computed on a 96 x 96 reduction in OKLab:
//
//   colour layout    8 x 8 cells x (L, a, b)                       192 floats
//   gradient layout  8 x 8 cells x 8 edge orientations (0...180°)  512 floats
//   colour mixture   4 x 4 x 4 histogram of (L, a, b)                64 floats
//
// Lightness and chroma are divided by the picture's mean lightness, which makes
// the print insensitive to exposure (OKLab scales uniformly with linear light).
// Pixels are spread over neighbouring cells and bins with tent weights, so
// small shifts, crops, rotations and recompression move the print a little
// rather than flipping whole bins. Each block is normalised to a fixed weight
// and the whole vector has unit length; compare prints with L2 distance.
//
// Everything is computed in double in a fixed order on one thread, and rounded
// to float only at the end, so the same pixels give the same bytes everywhere.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <exiv2/futils.hpp>

#include "engine/library/analysis.h"

// The bytes must not depend on whether the compiler fuses multiplies and adds.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

namespace Extraction {

namespace {

constexpr int side = 96;  // working reduction
constexpr int cells = 8;  // layout grid, per side
constexpr int orientations = 8;
constexpr int mixtureBins = 4;  // per axis
constexpr std::size_t layoutSize = cells * cells * 3;
constexpr std::size_t gradientSize = cells * cells * orientations;
constexpr std::size_t mixtureSize = mixtureBins * mixtureBins * mixtureBins;
static_assert(layoutSize + gradientSize + mixtureSize == featurePrintElements);

// Share of the print's squared length held by each block.
constexpr double layoutWeight = 0.30;
constexpr double gradientWeight = 0.50;
constexpr double mixtureWeight = 0.20;

constexpr double chromaScale = 2.0;     // a and b vary over a smaller range than L
constexpr double darkestMean = 0.05;    // floor of the mean lightness used to normalise

bool usable(const Imaging::Bitmap& picture) {
    if (picture.empty()) return false;
    if (picture.channels != 1 && picture.channels != 3 && picture.channels != 4) return false;
    return picture.pixels.size() == std::size_t(picture.width) * std::size_t(picture.height) * std::size_t(picture.channels);
}

// ---- Colour --------------------------------------------------------------------

double srgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }

struct LinearTable {
    std::array<double, 256> values{};
    LinearTable() {
        for (int i = 0; i < 256; ++i) values[i] = srgbToLinear(i / 255.0);
    }
};

const LinearTable& linearTable() {
    static const LinearTable table;
    return table;
}

struct Lab {
    double L = 0, a = 0, b = 0;
};

Lab oklabFromLinear(double r, double g, double b) {
    double l = std::cbrt(0.4122214708 * r + 0.5363325363 * g + 0.0514459929 * b);
    double m = std::cbrt(0.2119034982 * r + 0.6806995451 * g + 0.1073969566 * b);
    double s = std::cbrt(0.0883024619 * r + 0.2817188376 * g + 0.6299787005 * b);
    return {0.2104542553 * l + 0.7936177850 * m - 0.0040720468 * s,
            1.9779984951 * l - 2.4285922050 * m + 0.4505937099 * s,
            0.0259040371 * l + 0.7827717662 * m - 0.8086757660 * s};
}

// ---- Working reduction ---------------------------------------------------------

// For one axis: which source samples each of the `side` outputs covers, and by
// how much (box filter over the exact covered interval).
struct Tap {
    int index;
    double weight;
};

std::vector<std::vector<Tap>> areaTaps(int sourceLength) {
    std::vector<std::vector<Tap>> taps(side);
    double scale = double(sourceLength) / side;
    for (int o = 0; o < side; ++o) {
        double begin = o * scale, end = (o + 1) * scale;
        int first = int(std::floor(begin)), last = std::min(int(std::ceil(end)), sourceLength);
        for (int i = first; i < last; ++i) {
            double overlap = std::min(end, double(i + 1)) - std::max(begin, double(i));
            if (overlap > 0) taps[o].push_back({i, overlap / scale});
        }
    }
    return taps;
}

// Linear-light RGB of one source pixel; alpha composes over black.
std::array<double, 3> linearPixel(const std::uint8_t* p, int channels) {
    const auto& lut = linearTable().values;
    if (channels == 1) return {lut[p[0]], lut[p[0]], lut[p[0]]};
    double alpha = channels == 4 ? p[3] / 255.0 : 1.0;
    return {lut[p[0]] * alpha, lut[p[1]] * alpha, lut[p[2]] * alpha};
}

// The picture stretched to side x side in OKLab, by area averaging in linear light.
std::vector<Lab> workingReduction(const Imaging::Bitmap& picture) {
    auto columns = areaTaps(picture.width);
    auto rows = areaTaps(picture.height);
    // Horizontal pass: every source row to `side` columns.
    std::vector<double> narrow(std::size_t(picture.height) * side * 3, 0.0);
    for (int y = 0; y < picture.height; ++y) {
        const std::uint8_t* row = picture.row(y);
        double* out = &narrow[std::size_t(y) * side * 3];
        for (int x = 0; x < side; ++x) {
            for (const Tap& tap : columns[x]) {
                auto rgb = linearPixel(row + std::size_t(tap.index) * picture.channels, picture.channels);
                for (int c = 0; c < 3; ++c) out[x * 3 + c] += tap.weight * rgb[c];
            }
        }
    }
    // Vertical pass, then OKLab.
    std::vector<Lab> lab(std::size_t(side) * side);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            double rgb[3] = {0, 0, 0};
            for (const Tap& tap : rows[y])
                for (int c = 0; c < 3; ++c) rgb[c] += tap.weight * narrow[(std::size_t(tap.index) * side + x) * 3 + c];
            lab[std::size_t(y) * side + x] = oklabFromLinear(rgb[0], rgb[1], rgb[2]);
        }
    }
    return lab;
}

// ---- Soft binning --------------------------------------------------------------

// Tent weights of a position over `count` bins centred at 0.5, 1.5, ...: the two
// nearest bins, clamped at the ends (or wrapped, for angles).
struct Spread {
    int low, high;
    double lowWeight, highWeight;
};

Spread spreadOver(double position, int count, bool wrap) {
    double centred = position - 0.5;
    double base = std::floor(centred);
    double frac = centred - base;
    int low = int(base), high = low + 1;
    if (wrap) {
        low = ((low % count) + count) % count;
        high = ((high % count) + count) % count;
    } else {
        low = std::clamp(low, 0, count - 1);
        high = std::clamp(high, 0, count - 1);
    }
    return {low, high, 1 - frac, frac};
}

// The cell spread of pixel (x, y) of the working reduction.
struct CellSpread {
    Spread x, y;
};

CellSpread cellSpread(int x, int y) {
    constexpr double perCell = double(cells) / side;
    return {spreadOver((x + 0.5) * perCell, cells, false), spreadOver((y + 0.5) * perCell, cells, false)};
}

template <typename Add>
void forEachCell(const CellSpread& s, Add add) {
    add(s.y.low * cells + s.x.low, s.y.lowWeight * s.x.lowWeight);
    add(s.y.low * cells + s.x.high, s.y.lowWeight * s.x.highWeight);
    add(s.y.high * cells + s.x.low, s.y.highWeight * s.x.lowWeight);
    add(s.y.high * cells + s.x.high, s.y.highWeight * s.x.highWeight);
}

// Scales the block to the given squared length (left at zero when it is zero).
void normaliseBlock(std::vector<double>& block, double weight) {
    double squared = 0;
    for (double v : block) squared += v * v;
    if (squared <= 0) return;
    double factor = std::sqrt(weight / squared);
    for (double& v : block) v *= factor;
}

// ---- Blocks --------------------------------------------------------------------

// Mean normalised (L - 1, a, b) of each cell.
std::vector<double> colourLayout(const std::vector<Lab>& lab) {
    std::vector<double> sums(layoutSize, 0.0), weights(cells * cells, 0.0);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const Lab& p = lab[std::size_t(y) * side + x];
            forEachCell(cellSpread(x, y), [&](int cell, double w) {
                weights[cell] += w;
                sums[cell * 3 + 0] += w * (p.L - 1);
                sums[cell * 3 + 1] += w * chromaScale * p.a;
                sums[cell * 3 + 2] += w * chromaScale * p.b;
            });
        }
    }
    for (int cell = 0; cell < cells * cells; ++cell)
        for (int c = 0; c < 3; ++c) sums[cell * 3 + c] /= weights[cell];
    return sums;
}

// Histograms of edge orientation (0...180°) weighted by gradient magnitude, per
// cell; each cell is then normalised against the picture's typical cell energy
// and compressed by a square root, so that a few strong edges do not drown the rest.
std::vector<double> gradientLayout(const std::vector<Lab>& lab) {
    auto L = [&](int x, int y) {
        x = std::clamp(x, 0, side - 1);
        y = std::clamp(y, 0, side - 1);
        return lab[std::size_t(y) * side + x].L;
    };
    std::vector<double> histograms(gradientSize, 0.0);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            double gx = L(x + 1, y) - L(x - 1, y);
            double gy = L(x, y + 1) - L(x, y - 1);
            double magnitude = std::sqrt(gx * gx + gy * gy);
            if (magnitude <= 0) continue;
            double angle = std::atan2(gy, gx);
            if (angle < 0) angle += M_PI;
            if (angle >= M_PI) angle -= M_PI;
            Spread bins = spreadOver(angle / M_PI * orientations, orientations, true);
            forEachCell(cellSpread(x, y), [&](int cell, double w) {
                histograms[cell * orientations + bins.low] += w * bins.lowWeight * magnitude;
                histograms[cell * orientations + bins.high] += w * bins.highWeight * magnitude;
            });
        }
    }
    std::vector<double> energy(cells * cells, 0.0);
    double meanEnergy = 0;
    for (int cell = 0; cell < cells * cells; ++cell) {
        for (int o = 0; o < orientations; ++o) energy[cell] += histograms[cell * orientations + o] * histograms[cell * orientations + o];
        meanEnergy += energy[cell] / (cells * cells);
    }
    double floor = 0.25 * meanEnergy + 1e-12;
    for (int cell = 0; cell < cells * cells; ++cell) {
        double norm = std::sqrt(energy[cell] + floor);
        for (int o = 0; o < orientations; ++o) {
            double& v = histograms[cell * orientations + o];
            v = std::sqrt(v / norm);
        }
    }
    return histograms;
}

// Share of the picture in each (L, a, b) bin, square-rooted.
std::vector<double> colourMixture(const std::vector<Lab>& lab) {
    constexpr double lightRange = 2.0;  // normalised L from 0 to twice the mean
    constexpr double chromaRange = 0.25;
    std::vector<double> histogram(mixtureSize, 0.0);
    for (const Lab& p : lab) {
        Spread l = spreadOver(p.L / lightRange * mixtureBins, mixtureBins, false);
        Spread a = spreadOver((p.a / chromaRange + 0.5) * mixtureBins, mixtureBins, false);
        Spread b = spreadOver((p.b / chromaRange + 0.5) * mixtureBins, mixtureBins, false);
        for (auto [li, lw] : {std::pair{l.low, l.lowWeight}, std::pair{l.high, l.highWeight}})
            for (auto [ai, aw] : {std::pair{a.low, a.lowWeight}, std::pair{a.high, a.highWeight}})
                for (auto [bi, bw] : {std::pair{b.low, b.lowWeight}, std::pair{b.high, b.highWeight}})
                    histogram[(li * mixtureBins + ai) * mixtureBins + bi] += lw * aw * bw;
    }
    for (double& v : histogram) v = std::sqrt(v / double(lab.size()));
    return histogram;
}

}  // namespace

std::optional<FeaturePrintVector> featurePrintVector(const Imaging::Bitmap& preview) {
    if (!usable(preview)) return std::nullopt;
    std::vector<Lab> lab = workingReduction(preview);

    double meanL = 0;
    for (const Lab& p : lab) meanL += p.L;
    meanL = std::max(meanL / double(lab.size()), darkestMean);
    for (Lab& p : lab) {
        p.L /= meanL;
        p.a /= meanL;
        p.b /= meanL;
    }

    std::vector<double> layout = colourLayout(lab);
    std::vector<double> gradients = gradientLayout(lab);
    std::vector<double> mixture = colourMixture(lab);
    normaliseBlock(layout, layoutWeight);
    normaliseBlock(gradients, gradientWeight);
    normaliseBlock(mixture, mixtureWeight);

    std::vector<double> all;
    all.reserve(featurePrintElements);
    all.insert(all.end(), layout.begin(), layout.end());
    all.insert(all.end(), gradients.begin(), gradients.end());
    all.insert(all.end(), mixture.begin(), mixture.end());
    normaliseBlock(all, 1.0);

    FeaturePrintVector vector{};
    for (std::size_t i = 0; i < featurePrintElements; ++i) vector[i] = float(all[i]);
    return vector;
}

// ---- Encoding ------------------------------------------------------------------

namespace {

constexpr std::size_t encodedBytes = featurePrintElements * sizeof(float);  // 3072
constexpr std::size_t encodedLength = (encodedBytes + 2) / 3 * 4;            // 4096
static_assert(sizeof(float) == 4 && std::numeric_limits<float>::is_iec559);

std::uint32_t littleEndian(std::uint32_t v) {
    if constexpr (std::endian::native == std::endian::big)
        return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
    return v;
}

bool base64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

}  // namespace

std::string encodeFeaturePrint(const FeaturePrintVector& vector) {
    std::array<std::uint8_t, encodedBytes> bytes{};
    for (std::size_t i = 0; i < featurePrintElements; ++i) {
        std::uint32_t word = littleEndian(std::bit_cast<std::uint32_t>(vector[i]));
        std::memcpy(bytes.data() + i * 4, &word, 4);
    }
    std::string text(encodedLength + 1, '\0');
    Exiv2::base64encode(bytes.data(), bytes.size(), text.data(), text.size());
    text.resize(encodedLength);
    return text;
}

std::optional<FeaturePrintVector> decodeFeaturePrint(std::string_view text) {
    // 3072 bytes fill whole groups of three, so the text has no padding.
    if (text.size() != encodedLength) return std::nullopt;
    if (!std::all_of(text.begin(), text.end(), base64Character)) return std::nullopt;
    std::string input(text);
    std::array<char, encodedBytes + 4> bytes{};
    long decoded = long(Exiv2::base64decode(input.c_str(), bytes.data(), bytes.size()));
    if (decoded != long(encodedBytes)) return std::nullopt;
    FeaturePrintVector vector{};
    for (std::size_t i = 0; i < featurePrintElements; ++i) {
        std::uint32_t word;
        std::memcpy(&word, bytes.data() + i * 4, 4);
        vector[i] = std::bit_cast<float>(littleEndian(word));
    }
    return vector;
}

std::optional<std::string> featurePrint(const Imaging::Bitmap& preview) {
    try {
        std::optional<FeaturePrintVector> vector = featurePrintVector(preview);
        if (!vector) return std::nullopt;
        return encodeFeaturePrint(*vector);
    } catch (...) {
        return std::nullopt;  // out of memory: no print
    }
}

}  // namespace Extraction
