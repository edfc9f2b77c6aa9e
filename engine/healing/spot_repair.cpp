// Spot healing: donor search, Poisson reconstruction, acceptance, and the
// difference blend that adds the repairs to the working picture.

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <unordered_map>

#include "engine/healing/spot_heal.h"

namespace SpotHeal {

using Imaging::Bitmap;

namespace {

double luma(const std::array<double, 3>& c) { return 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2]; }

std::array<double, 3> rgbAt(const Bitmap& rgba, int x, int y) {
    const std::uint8_t* p = rgba.row(y) + std::size_t(x) * 4;
    return {double(p[0]), double(p[1]), double(p[2])};
}

// ---- the orthonormal type-I sine transform of one size

// S[a][b] = √(2/(n+1)) · sin((a+1)(b+1)π/(n+1)), with the eigenvalues
// λa = 2 − 2·cos((a+1)π/(n+1)) of the 1-D Laplacian. S is symmetric and its
// own inverse.
struct SineBasis {
    int n = 0;
    std::vector<double> S;       // n×n, row-major
    std::vector<double> lambda;  // n
};

SineBasis makeSineBasis(int n) {
    SineBasis basis;
    basis.n = n;
    basis.S.resize(std::size_t(n) * n);
    basis.lambda.resize(n);
    const double norm = std::sqrt(2.0 / (n + 1));
    for (int a = 0; a < n; ++a) {
        basis.lambda[a] = 2 - 2 * std::cos((a + 1) * std::numbers::pi / (n + 1));
        for (int b = 0; b < n; ++b)
            basis.S[std::size_t(a) * n + b] = norm * std::sin(double(a + 1) * (b + 1) * std::numbers::pi / (n + 1));
    }
    return basis;
}

// The bases by size, made once each.
class SineBases {
public:
    std::shared_ptr<const SineBasis> get(int n) {
        {
            std::lock_guard lock(mutex_);
            if (auto found = bases_.find(n); found != bases_.end()) return found->second;
        }
        auto made = std::make_shared<const SineBasis>(makeSineBasis(n));
        std::lock_guard lock(mutex_);
        return bases_.emplace(n, std::move(made)).first->second;
    }

private:
    std::mutex mutex_;
    std::map<int, std::shared_ptr<const SineBasis>> bases_;
};

SineBases& sineBases() {
    static SineBases shared;
    return shared;
}

// out = S · in · S for n×n matrices (the transform along rows, then along columns).
void transform2D(const SineBasis& basis, const std::vector<double>& in, std::vector<double>& out,
                 std::vector<double>& scratch) {
    const int n = basis.n;
    const double* S = basis.S.data();
    scratch.assign(std::size_t(n) * n, 0.0);
    for (int i = 0; i < n; ++i)  // scratch = in · S
        for (int k = 0; k < n; ++k) {
            const double v = in[std::size_t(i) * n + k];
            const double* s = S + std::size_t(k) * n;
            double* o = &scratch[std::size_t(i) * n];
            for (int j = 0; j < n; ++j) o[j] += v * s[j];
        }
    out.assign(std::size_t(n) * n, 0.0);
    for (int i = 0; i < n; ++i)  // out = S · scratch
        for (int k = 0; k < n; ++k) {
            const double v = S[std::size_t(i) * n + k];
            const double* s = &scratch[std::size_t(k) * n];
            double* o = &out[std::size_t(i) * n];
            for (int j = 0; j < n; ++j) o[j] += v * s[j];
        }
}

// ---- per-spot geometry

// Smooth weight of a patch pixel at distance d from the centre of a spot of radius r:
// full inside 0.75·r, fading to 0 at r.
double repairWeight(double d, int r) {
    const double z = std::clamp((1 - d / r) * 4, 0.0, 1.0);
    return z * z * (3 - 2 * z);
}

struct Offset {
    int dx, dy;
};

// The ring (0.8 ≤ d/r ≤ 1) and the disc (d ≤ r) of a spot of radius r.
struct Shape {
    std::vector<Offset> ring, disc;
};
Shape shape(int r) {
    Shape s;
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
            const double d = std::sqrt(double(dx) * dx + double(dy) * dy);
            if (d <= r) s.disc.push_back({dx, dy});
            if (d / r >= 0.8 && d / r <= 1) s.ring.push_back({dx, dy});
        }
    return s;
}

struct Candidate {
    double cost;
    int x, y;
};

struct Blocker {
    int x, y, radius;
};

// Candidate donor centres of one spot, with their costs, in generation order.
std::vector<Candidate> candidates(const Bitmap& rgba, const Bitmap& donors, const Spot& spot, const Shape& shape,
                                  const std::vector<std::array<double, 3>>& ringTarget,
                                  const std::array<double, 3>& ringMean, double ringSigma,
                                  const std::vector<Blocker>& blockers) {
    const int w = rgba.width, h = rgba.height, r = spot.radius;
    const int allowance = int(std::floor(double(r) * r * 3.14 * 0.04));
    std::vector<Candidate> out;
    std::vector<std::pair<int, int>> tried;
    for (const double f : {2.2, 3.0, 4.5, 6.0, 8.0}) {
        for (int k = 0; k < 32; ++k) {
            const double theta = k * 2 * std::numbers::pi / 32;
            const int cx = spot.x + int(std::round(f * r * std::cos(theta)));
            const int cy = spot.y + int(std::round(f * r * std::sin(theta)));
            if (std::find(tried.begin(), tried.end(), std::pair{cx, cy}) != tried.end()) continue;
            tried.push_back({cx, cy});
            if (cx - r < 0 || cy - r < 0 || cx + r >= w || cy + r >= h) continue;
            if (spot.state == selected) {
                int bad = 0;
                for (const Offset& o : shape.disc) bad += donors.row(cy + o.dy)[cx + o.dx] <= 191;
                if (bad > allowance) continue;
            }
            if (std::any_of(blockers.begin(), blockers.end(), [&](const Blocker& b) {
                    return std::abs(cx - b.x) <= r + b.radius && std::abs(cy - b.y) <= r + b.radius;
                }))
                continue;
            // cost, from the unrepaired picture
            std::array<double, 3> donorMean{0, 0, 0};
            for (const Offset& o : shape.ring) {
                const auto c = rgbAt(rgba, cx + o.dx, cy + o.dy);
                for (int ch = 0; ch < 3; ++ch) donorMean[ch] += c[ch];
            }
            std::array<double, 3> offset{};
            for (int ch = 0; ch < 3; ++ch) offset[ch] = ringMean[ch] - donorMean[ch] / double(shape.ring.size());
            double mismatch = 0;
            for (std::size_t i = 0; i < shape.ring.size(); ++i) {
                const auto c = rgbAt(rgba, cx + shape.ring[i].dx, cy + shape.ring[i].dy);
                for (int ch = 0; ch < 3; ++ch) mismatch += std::pow(c[ch] + offset[ch] - ringTarget[i][ch], 2);
            }
            mismatch /= 3.0 * double(shape.ring.size());
            double sum = 0, sum2 = 0;
            for (const Offset& o : shape.disc) {
                const double l = luma(rgbAt(rgba, cx + o.dx, cy + o.dy));
                sum += l, sum2 += l * l;
            }
            const double n = double(shape.disc.size());
            const double sigmaD = std::sqrt(std::max(0.0, sum2 / n - (sum / n) * (sum / n)));
            const double offset2 = offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2];
            const double cost = 0.003 * (double(cx - spot.x) * (cx - spot.x) + double(cy - spot.y) * (cy - spot.y)) +
                                0.15 * offset2 / 3 + mismatch + 0.6 * (sigmaD - ringSigma) * (sigmaD - ringSigma);
            out.push_back({cost, cx, cy});
        }
    }
    return out;
}

// The repaired pixels over the unrepaired bitmap, by pixel index (y·w + x):
// the repairs touch a few thousand pixels, so they are kept apart instead of
// in a full copy of the picture.
using Repairs = std::unordered_map<std::size_t, std::array<std::uint8_t, 3>>;

std::array<double, 3> repairedAt(const Bitmap& rgba, const Repairs& repairs, int x, int y) {
    if (auto found = repairs.find(std::size_t(y) * rgba.width + x); found != repairs.end())
        return {double(found->second[0]), double(found->second[1]), double(found->second[2])};
    return rgbAt(rgba, x, y);
}

// Repairs one spot (state 1 or 4) into `repairs`; returns whether a donor was accepted.
bool healSpot(const Bitmap& rgba, const Bitmap& skin, const Bitmap& donors, Repairs& repairs, Spot& spot,
              const std::vector<Blocker>& blockers) {
    const int w = rgba.width, h = rgba.height, r = spot.radius, side = 2 * r + 1;
    const Shape geometry = shape(r);
    // the target patch, from the result (earlier repairs show)
    Patch target(std::size_t(side) * side);
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx)
            target[std::size_t(dy + r) * side + (dx + r)] =
                repairedAt(rgba, repairs, std::clamp(spot.x + dx, 0, w - 1), std::clamp(spot.y + dy, 0, h - 1));
    const auto at = [&](const Patch& p, int dx, int dy) { return p[std::size_t(dy + r) * side + (dx + r)]; };
    // ring statistics
    std::vector<std::array<double, 3>> ringTarget;
    std::array<double, 3> ringMean{0, 0, 0};
    double sum = 0, sum2 = 0;
    for (const Offset& o : geometry.ring) {
        const auto c = at(target, o.dx, o.dy);
        ringTarget.push_back(c);
        for (int ch = 0; ch < 3; ++ch) ringMean[ch] += c[ch];
        const double l = luma(c);
        sum += l, sum2 += l * l;
    }
    const double ringCount = double(geometry.ring.size());
    for (double& v : ringMean) v /= ringCount;
    const double mu = sum / ringCount;
    const double sigma = std::sqrt(std::max(0.0, sum2 / ringCount - mu * mu));

    std::vector<Candidate> found = candidates(rgba, donors, spot, geometry, ringTarget, ringMean, sigma, blockers);
    std::stable_sort(found.begin(), found.end(), [](const Candidate& a, const Candidate& b) { return a.cost < b.cost; });

    std::vector<double> weight(std::size_t(side) * side);
    for (int dy = -r; dy <= r; ++dy)
        for (int dx = -r; dx <= r; ++dx) {
            double v = repairWeight(std::sqrt(double(dx) * dx + double(dy) * dy), r);
            if (spot.state == selected)
                v *= skin.row(std::clamp(spot.y + dy, 0, h - 1))[std::clamp(spot.x + dx, 0, w - 1)] / 255.0;
            weight[std::size_t(dy + r) * side + (dx + r)] = v;
        }

    const std::size_t tries = std::min<std::size_t>(6, found.size());
    for (std::size_t t = 0; t < tries; ++t) {
        const Candidate& c = found[t];
        Patch donor(std::size_t(side) * side);
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx) donor[std::size_t(dy + r) * side + (dx + r)] = rgbAt(rgba, c.x + dx, c.y + dy);
        const Patch rec = reconstruct(donor, target, side);
        Patch blended(target.size());
        for (std::size_t i = 0; i < target.size(); ++i)
            for (int ch = 0; ch < 3; ++ch) blended[i][ch] = target[i][ch] + (rec[i][ch] - target[i][ch]) * weight[i];

        if (spot.state == selected) {
            double s1 = 0, s2 = 0, largest = 0;
            int n = 0;
            for (int dy = -r; dy <= r; ++dy)
                for (int dx = -r; dx <= r; ++dx) {
                    if (double(dx) * dx + double(dy) * dy > 0.49 * r * r) continue;
                    const double l = luma(at(blended, dx, dy));
                    s1 += l, s2 += l * l, ++n;
                    largest = std::max(largest, std::abs(l - mu));
                }
            const double u = s1 / n, s = std::sqrt(std::max(0.0, s2 / n - u * u));
            const bool accepted = std::abs(u - mu) <= std::max(0.4 * sigma, 2.0) && s <= 1.4 * sigma + 1 &&
                                  s >= 0.5 * sigma - 1 && largest <= std::max(2.5 * sigma, 6.0);
            if (!accepted) continue;
        }
        for (int dy = -r; dy <= r; ++dy)
            for (int dx = -r; dx <= r; ++dx) {
                const std::size_t i = std::size_t(dy + r) * side + (dx + r);
                const int x = spot.x + dx, y = spot.y + dy;
                if (!(weight[i] > 0) || x < 0 || y < 0 || x >= w || y >= h) continue;
                auto& p = repairs[std::size_t(y) * w + x];
                for (int ch = 0; ch < 3; ++ch) p[ch] = std::uint8_t(std::clamp(std::round(blended[i][ch]), 0.0, 255.0));
            }
        spot.sx = c.x;
        spot.sy = c.y;
        return true;
    }
    return false;
}

}  // namespace

Patch reconstruct(const Patch& donor, const Patch& target, int side) {
    const int n = side - 2;
    if (n < 1) return target;
    const SineBasis& basis = *sineBases().get(n);
    Patch out = target;
    std::vector<double> rhs(std::size_t(n) * n), coefficients, solution, scratch;
    const auto D = [&](int row, int col, int ch) { return donor[std::size_t(row) * side + col][ch]; };
    const auto T = [&](int row, int col, int ch) { return target[std::size_t(row) * side + col][ch]; };
    for (int ch = 0; ch < 3; ++ch) {
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) {
                const int row = i + 1, col = j + 1;
                double v = 4 * D(row, col, ch) - D(row - 1, col, ch) - D(row + 1, col, ch) - D(row, col - 1, ch) -
                           D(row, col + 1, ch);
                if (i == 0) v += T(0, col, ch);
                if (i == n - 1) v += T(side - 1, col, ch);
                if (j == 0) v += T(row, 0, ch);
                if (j == n - 1) v += T(row, side - 1, ch);
                rhs[std::size_t(i) * n + j] = v;
            }
        transform2D(basis, rhs, coefficients, scratch);
        for (int a = 0; a < n; ++a)
            for (int b = 0; b < n; ++b) coefficients[std::size_t(a) * n + b] /= basis.lambda[a] + basis.lambda[b];
        transform2D(basis, coefficients, solution, scratch);
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) out[std::size_t(i + 1) * side + (j + 1)][ch] = solution[std::size_t(i) * n + j];
    }
    return out;
}

namespace {

Repairs repair(const Bitmap& rgba, const Bitmap& skin, const Bitmap& donors, std::vector<Spot>& spots) {
    std::vector<Blocker> blockers;
    for (const Spot& s : spots)
        if (s.state != below) blockers.push_back({s.x, s.y, s.radius});
    Repairs repairs;
    for (Spot& spot : spots) {
        if (spot.state != selected && spot.state != brushed) continue;
        if (!healSpot(rgba, skin, donors, repairs, spot, blockers)) spot.state = noDonor;
    }
    return repairs;
}

}  // namespace

Bitmap heal(const Bitmap& rgba, const Bitmap& skin, const Bitmap& donors, std::vector<Spot>& spots) {
    const Repairs repairs = repair(rgba, skin, donors, spots);
    Bitmap result = rgba;
    for (const auto& [index, rgb] : repairs) std::copy(rgb.begin(), rgb.end(), result.pixels.data() + index * 4);
    return result;
}

Result apply(const Imaging::Image& image, const Imaging::Image& skin, const std::vector<Face>& faces,
             double sensitivity, const std::vector<std::vector<double>>& keep,
             const std::vector<std::vector<double>>& brush, const std::optional<std::string>& detectionKey) {
    Detection detection = detect(image, skin, faces, sensitivity, keep, brush, detectionKey);
    const Repairs repairs = repair(detection.rgba, detection.skin, detection.donors, detection.spots);
    const int w = image.width(), h = image.height();

    // The difference blend: the working picture with the repairs added as
    // positive and negative differences; every other pixel is its own.
    Result result;
    if (repairs.empty()) {
        result.image = image;  // nothing repaired: the picture as it is
    } else {
        result.image = Imaging::Image(image.extent());
        Imaging::forRows(image.height(), [&](int begin, int end) {
            for (int row = begin; row < end; ++row) {
                const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(row);
                std::copy(in, in + image.width(), result.image.mutableMat().ptr<Imaging::Pixel>(row));
            }
        });
        const auto positive = [](int from, int to) { return float(std::max(0, to - from)) / 255.0f; };
        for (const auto& [index, after] : repairs) {
            const std::uint8_t* before = detection.rgba.pixels.data() + index * 4;
            if (before[0] == after[0] && before[1] == after[1] && before[2] == after[2]) continue;  // adds nothing
            const Imaging::Pixel plus{positive(before[0], after[0]), positive(before[1], after[1]),
                                      positive(before[2], after[2]), 1};
            const Imaging::Pixel minus{positive(after[0], before[0]), positive(after[1], before[1]),
                                       positive(after[2], before[2]), 1};
            const int col = int(index % std::size_t(w)), row = int(index / std::size_t(w));
            const Imaging::Pixel& original = image.at(col, row);
            result.image.at(col, row) = spotBlend(original, plus, minus);
        }
    }
    for (const Spot& s : detection.spots)
        result.spots.push_back({(s.x + 0.5) / w, (s.y + 0.5) / h, double(s.radius) / w, double(s.state)});
    return result;
}

}  // namespace SpotHeal
