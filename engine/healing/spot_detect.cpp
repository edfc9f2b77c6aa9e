// Spot detection: the window statistics, the dark and bright passes, the
// detection raster, the spot memory and the final ordered list.

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include "engine/healing/spot_heal.h"

namespace SpotHeal {

using Imaging::Bitmap;

namespace {

const char* const tooLarge = "Spot removal currently supports up to 24 megapixels";
const char* const badPoints = "Invalid spot brush points";

// round half away from zero
int roundInt(double v) { return int(std::round(v)); }

bool inside(int x, int y, int r, int w, int h) { return x - r >= 0 && y - r >= 0 && x + r < w && y + r < h; }

bool finiteBox(const Box& b) {
    return std::isfinite(b.x) && std::isfinite(b.y) && std::isfinite(b.width) && std::isfinite(b.height);
}

bool keptBy(const std::vector<PixelPoint>& keep, double x, double y, double radius) {
    return std::any_of(keep.begin(), keep.end(),
                       [&](const PixelPoint& k) { return std::hypot(k.x - x, k.y - y) < radius; });
}

// ---- per-pixel formulas

// Luma ×1000 and redness ×2 of an 8-bit pixel, as exact integers:
// L = 0.299r + 0.587g + 0.114b, C = r − (g + b)/2.
struct Tone {
    std::int64_t luma1000;
    std::int64_t redness2;
};
inline Tone tone(const std::uint8_t* p) {
    return {299 * std::int64_t(p[0]) + 587 * std::int64_t(p[1]) + 114 * std::int64_t(p[2]),
            2 * std::int64_t(p[0]) - std::int64_t(p[1]) - std::int64_t(p[2])};
}

// Sums of m, m·L, m·C and m·L² over a window (L ×1000, C ×2, L² ×10⁶).
struct WindowSums {
    std::int64_t n = 0, luma = 0, redness = 0, luma2 = 0;
};

struct Contrast {
    double dark = 0, darkScore = 0, bright = 0, brightScore = 0;
};

// The darkness and brightness contrast of a pixel against its window.
inline Contrast windowContrast(const WindowSums& s, int R, const Tone& t) {
    if (double(s.n) <= double(R) * R) return {};
    const double n = double(s.n);
    const double mean = double(s.luma) / 1000.0 / n;
    const double variance = std::max(0.0, double(s.luma2) / 1e6 / n - mean * mean);
    const double rednessMean = double(s.redness) / 2.0 / n;
    const double sd = std::max(std::sqrt(variance), 2.0);
    const double L = double(t.luma1000) / 1000.0;
    const double C = double(t.redness2) / 2.0;
    Contrast c;
    c.dark = (mean - L) + 0.8 * (C - rednessMean);
    c.darkScore = c.dark / sd;
    c.bright = L - mean;
    c.brightScore = c.bright / sd;
    return c;
}

// Summed-area tables over a W×H window, (W+1)×(H+1) each.
struct SummedArea {
    int W = 0, H = 0;
    std::vector<WindowSums> table;
    WindowSums at(int row, int col) const { return table[std::size_t(row) * (W + 1) + col]; }
    WindowSums box(int r0, int c0, int r1, int c1) const {  // rows [r0, r1), columns [c0, c1)
        const WindowSums a = at(r1, c1), b = at(r0, c1), c = at(r1, c0), d = at(r0, c0);
        return {a.n - b.n - c.n + d.n, a.luma - b.luma - c.luma + d.luma,
                a.redness - b.redness - c.redness + d.redness, a.luma2 - b.luma2 - c.luma2 + d.luma2};
    }
};

SummedArea summedArea(const Bitmap& rgba, const Bitmap& skin, int x0, int y0, int W, int H) {
    SummedArea s;
    s.W = W;
    s.H = H;
    s.table.assign(std::size_t(W + 1) * (H + 1), WindowSums{});
    // Rows are summed in parallel, then accumulated down the columns.
    Imaging::forRows(H, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const std::uint8_t* p = rgba.row(y0 + row) + std::size_t(x0) * 4;
            const std::uint8_t* m = skin.row(y0 + row) + x0;
            WindowSums run;
            WindowSums* out = &s.table[std::size_t(row + 1) * (W + 1)];
            for (int col = 0; col < W; ++col, p += 4) {
                if (m[col] >= 128) {
                    const Tone t = tone(p);
                    run.n += 1;
                    run.luma += t.luma1000;
                    run.redness += t.redness2;
                    run.luma2 += t.luma1000 * t.luma1000;
                }
                out[col + 1] = run;
            }
        }
    });
    for (int row = 1; row <= H; ++row) {
        WindowSums* cur = &s.table[std::size_t(row) * (W + 1)];
        const WindowSums* prev = cur - (W + 1);
        for (int col = 0; col <= W; ++col) {
            cur[col].n += prev[col].n;
            cur[col].luma += prev[col].luma;
            cur[col].redness += prev[col].redness;
            cur[col].luma2 += prev[col].luma2;
        }
    }
    return s;
}

struct Pass {
    double sizeFactor;   // S = sizeFactor · face width
    double minimumPeak;  // peak standard score
    double offset;
    bool merges;
};
constexpr Pass darkPass{0.04, standsOut, 0, false};
constexpr Pass brightPass{0.03, 3.3, 4, true};

void runPass(const Pass& pass, const std::vector<double>& map, const std::vector<double>& score, int x0, int y0,
             int W, int H, int w, int h, const Bitmap& skin, double c, double threshold,
             const std::vector<PixelPoint>& keep, std::vector<Spot>& spots) {
    const double S = pass.sizeFactor * c;
    const double minimumArea = std::max(std::pow(0.004 * c, 2), 4.0);
    const double seedLevel = listed + pass.offset;
    std::vector<std::uint8_t> visited(std::size_t(W) * H, 0), claimed(std::size_t(W) * H, 0);
    std::vector<int> component, stack, grown;
    const auto neighbours = [&](int i, auto&& visit) {
        const int row = i / W, col = i % W;
        if (col > 0) visit(i - 1);
        if (col + 1 < W) visit(i + 1);
        if (row > 0) visit(i - W);
        if (row + 1 < H) visit(i + W);
    };
    for (int seed = 0; seed < W * H; ++seed) {
        if (visited[seed] || !(map[seed] >= seedLevel)) continue;
        // 1. the connected component above the seed level
        component.clear();
        stack.assign(1, seed);
        visited[seed] = 1;
        double peak = -std::numeric_limits<double>::infinity(), peakScore = peak;
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            component.push_back(i);
            peak = std::max(peak, map[i]);
            peakScore = std::max(peakScore, score[i]);
            neighbours(i, [&](int j) {
                if (!visited[j] && map[j] >= seedLevel) {
                    visited[j] = 1;
                    stack.push_back(j);
                }
            });
        }
        if (peakScore < pass.minimumPeak || double(component.size()) > S * S) continue;
        // 2. its unclaimed pixels
        grown.clear();
        int left = W, right = -1, top = H, bottom = -1;
        for (int i : component) {
            if (claimed[i]) continue;
            claimed[i] = 1;
            grown.push_back(i);
            left = std::min(left, i % W), right = std::max(right, i % W);
            top = std::min(top, i / W), bottom = std::max(bottom, i / W);
        }
        if (grown.empty()) continue;
        const int e = std::max(right - left + 1, bottom - top + 1) - 1;
        const double G = std::min(std::max(2.5 * (e + 1), 6.0), S);
        // 3. growth over the neighbours above half the peak
        const double growLevel = std::max(0.5 * peak, 4.0);
        bool rejected = false;
        stack.assign(grown.begin(), grown.end());
        while (!stack.empty() && !rejected) {
            const int i = stack.back();
            stack.pop_back();
            neighbours(i, [&](int j) {
                if (rejected || claimed[j] || !(map[j] >= growLevel)) return;
                claimed[j] = 1;
                grown.push_back(j);
                stack.push_back(j);
                left = std::min(left, j % W), right = std::max(right, j % W);
                top = std::min(top, j / W), bottom = std::max(bottom, j / W);
                if (right - left > G || bottom - top > G) rejected = true;
            });
        }
        if (rejected) continue;
        // 4. size and shape
        const int bw = right - left + 1, bh = bottom - top + 1;
        const double n = double(grown.size());
        if (n < minimumArea || std::max(bw, bh) > S || double(std::max(bw, bh)) / std::min(bw, bh) > 2.5 ||
            n / (double(bw) * bh) < 0.3)
            continue;
        // 5. centre and radius
        Spot spot;
        spot.x = x0 + (left + right) / 2;
        spot.y = y0 + (top + bottom) / 2;
        spot.radius = std::max(3, int(std::ceil(0.65 * std::sqrt(double(bw) * bw + double(bh) * bh) + 1)));
        if (!inside(spot.x, spot.y, spot.radius, w, h) || skin.row(spot.y)[spot.x] <= 199) continue;
        // 6. score and state
        spot.score = peak - pass.offset;
        spot.state = spot.score >= threshold ? selected : below;
        // 7. a bright spot overlapping an earlier one is merged into their enclosing circle
        if (pass.merges) {
            for (auto old = spots.begin(); old != spots.end(); ++old) {
                const double d = std::hypot(double(spot.x - old->x), double(spot.y - old->y));
                if (!(d < spot.radius + old->radius)) continue;
                const double t = d == 0 ? 0.5 : (spot.radius - old->radius + d) / (2 * d);
                const int mx = roundInt(old->x + t * (spot.x - old->x));
                const int my = roundInt(old->y + t * (spot.y - old->y));
                const int mr = int(std::ceil((d + spot.radius + old->radius) / 2));
                if (mr <= 0.06 * c && inside(mx, my, mr, w, h)) {
                    spot.x = mx, spot.y = my, spot.radius = mr;
                    spot.state = std::min(spot.state, old->state);
                    spot.score = std::max(spot.score, old->score);
                    spots.erase(old);
                }
                break;
            }
        }
        // 8. keep points
        if (keptBy(keep, spot.x, spot.y, spot.radius)) spot.state = kept;
        spot.sx = spot.sy = -1;
        spots.push_back(spot);
    }
}

// ---- the spot memory

struct RememberedSpot {
    double x, y, radius, score;  // x, y, radius relative to the picture
};

class SpotMemory {
public:
    static constexpr std::size_t keys = 48;

    // The spots stored for `key`, storing `spots` first when the key is new.
    std::vector<RememberedSpot> lookupOrStore(const std::string& key, std::vector<RememberedSpot> spots) {
        std::lock_guard lock(mutex_);
        if (auto found = memory_.find(key); found != memory_.end()) return found->second;
        memory_.emplace(key, spots);
        order_.push_back(key);
        if (order_.size() > keys) {
            memory_.erase(order_.front());
            order_.pop_front();
        }
        return spots;
    }

private:
    std::mutex mutex_;
    std::map<std::string, std::vector<RememberedSpot>> memory_;
    std::deque<std::string> order_;  // keys in the order they were stored
};

SpotMemory& memory() {
    static SpotMemory shared;
    return shared;
}

std::vector<PixelPoint> keepPixels(const std::vector<std::vector<double>>& keep, double w, double h) {
    std::vector<PixelPoint> out;
    for (const auto& k : keep) out.push_back({k[0] * w - 0.5, k[1] * h - 0.5});
    return out;
}

}  // namespace

double threshold(double sensitivity) {
    const double t = sensitivity <= 0 ? 1.0 : 1.0 - std::min(sensitivity, 1.0);
    return 30 * t * t + 10;
}

std::vector<Spot> find(const Bitmap& rgba, const Bitmap& skin, Bitmap& donors, const Face& face, double threshold,
                       const std::vector<PixelPoint>& keep) {
    const int w = rgba.width, h = rgba.height;
    const Box& b = face.bounds;
    if (!finiteBox(b) || !(b.width > 0) || !(b.height > 0)) return {};
    // the rectangle flipped into top-down rows, clipped to the raster
    const auto clampTo = [](double v, int lo, int hi) { return int(std::clamp(v, double(lo), double(hi))); };
    const int x0 = clampTo(std::floor(b.x), 0, w);
    const int x1 = clampTo(std::ceil(b.x + b.width), 0, w);
    const int y0 = clampTo(h - std::ceil(b.y + b.height), 0, h);
    const int y1 = clampTo(h - std::floor(b.y), 0, h);
    const int W = x1 - x0, H = y1 - y0;
    if (W < 9 || H < 9) return {};
    const int R = std::max(3, int(std::floor(0.035 * face.width)));

    const SummedArea sums = summedArea(rgba, skin, x0, y0, W, H);
    std::vector<double> dark(std::size_t(W) * H, 0), darkScore(dark.size(), 0), bright(dark.size(), 0),
        brightScore(dark.size(), 0);
    Imaging::forRows(H, [&](int begin, int end) {
        for (int row = begin; row < end; ++row) {
            const std::uint8_t* p = rgba.row(y0 + row) + std::size_t(x0) * 4;
            const std::uint8_t* m = skin.row(y0 + row) + x0;
            const int r0 = std::max(0, row - R), r1 = std::min(row + R + 1, H);
            for (int col = 0; col < W; ++col, p += 4) {
                if (m[col] <= 199) continue;
                const WindowSums s = sums.box(r0, std::max(0, col - R), r1, std::min(col + R + 1, W));
                const Contrast c = windowContrast(s, R, tone(p));
                const std::size_t i = std::size_t(row) * W + col;
                dark[i] = c.dark, darkScore[i] = c.darkScore, bright[i] = c.bright, brightScore[i] = c.brightScore;
            }
        }
    });

    // Pixels that look like blemishes are no donors.
    for (int row = 0; row < H; ++row) {
        for (int col = 0; col < W; ++col) {
            const std::size_t i = std::size_t(row) * W + col;
            if (!((dark[i] >= listed && darkScore[i] >= 2) || (bright[i] >= listed && brightScore[i] >= 2.5))) continue;
            const int cx = x0 + col, cy = y0 + row;
            for (int y = std::max(0, cy - 2); y <= std::min(h - 1, cy + 2); ++y)
                for (int x = std::max(0, cx - 2); x <= std::min(w - 1, cx + 2); ++x) donors.row(y)[x] = 0;
        }
    }

    std::vector<Spot> spots;
    runPass(darkPass, dark, darkScore, x0, y0, W, H, w, h, skin, face.width, threshold, keep, spots);
    runPass(brightPass, bright, brightScore, x0, y0, W, H, w, h, skin, face.width, threshold, keep, spots);
    return spots;
}

std::vector<Spot> remembered(const std::vector<Spot>& spots, const std::string& key, int w, int h,
                             double sensitivity, const std::vector<std::vector<double>>& keep) {
    std::vector<RememberedSpot> given;
    given.reserve(spots.size());
    for (const Spot& s : spots)
        given.push_back({(s.x + 0.5) / w, (s.y + 0.5) / h, double(s.radius) / w, s.score});
    const std::vector<RememberedSpot> stored = memory().lookupOrStore(key, std::move(given));

    const std::vector<PixelPoint> keepAt = keepPixels(keep, w, h);
    const double limit = threshold(sensitivity);
    std::vector<Spot> out;
    for (const RememberedSpot& r : stored) {
        Spot s;
        s.x = int(std::floor(r.x * w));
        s.y = int(std::floor(r.y * h));
        s.radius = std::max(3, roundInt(r.radius * w));
        if (!inside(s.x, s.y, s.radius, w, h)) continue;
        s.score = r.score;
        s.state = r.score >= limit ? selected : below;
        if (keptBy(keepAt, s.x, s.y, s.radius)) s.state = kept;
        out.push_back(s);
    }
    return out;
}

Detection detect(const Imaging::Image& image, const Imaging::Image& skin, const std::vector<Face>& faces,
                 double sensitivity, const std::vector<std::vector<double>>& keep,
                 const std::vector<std::vector<double>>& brush, const std::optional<std::string>& detectionKey) {
    // 1. input checks, in order
    const Imaging::Rect& extent = image.extent();
    const int w = extent.width, h = extent.height;
    if (extent.x != 0 || extent.y != 0 || w < 1 || h < 1 || std::int64_t(w) * h > maximumPixels)
        throw Failure(tooLarge);
    const auto valid = [](const std::vector<double>& v, std::size_t count, bool unit) {
        return v.size() == count && std::all_of(v.begin(), v.end(), [&](double x) {
                   return std::isfinite(x) && (!unit || (x >= 0 && x <= 1));
               });
    };
    if (brush.size() > std::size_t(maximumSpots) ||
        !std::all_of(brush.begin(), brush.end(), [&](const auto& b) { return valid(b, 3, true); }) ||
        !std::all_of(keep.begin(), keep.end(), [&](const auto& k) { return valid(k, 2, false); }))
        throw Failure(badPoints);

    // 2. the full-resolution rasters
    Detection out;
    // The mask over the picture's extent; nothing where it does not reach.
    const Imaging::Image mask = skin.extent() == extent
                                    ? skin
                                    : Imaging::generate(extent, [&](int x, int y) {
                                          const Imaging::Rect& e = skin.extent();
                                          const bool in = x >= e.x && x < e.maxX() && y >= e.y && y < e.maxY();
                                          return in ? Imaging::sample(skin, x, y) : Imaging::Pixel{0, 0, 0, 1};
                                      });
    out.rgba = Bitmap(w, h, 4);
    out.skin = Bitmap(w, h, 1);
    // The 8-bit rows of the picture and the mask, each rendered once.
    std::vector<std::atomic<bool>> rendered(static_cast<std::size_t>(h));
    const auto renderRow = [&](int row) {
        if (rendered[std::size_t(row)].exchange(true)) return;
        Imaging::renderRow8(image.mat().ptr<Imaging::Pixel>(row), w, 4, out.rgba.row(row));
        Imaging::renderRow8(mask.mat().ptr<Imaging::Pixel>(row), w, 1, out.skin.row(row));
    };
    const double scale = double(detectionLongEdge) / std::max(w, h);
    const bool reduced = sensitivity > 0 && scale < 1;
    const auto renderAll = [&] {
        Imaging::forRows(h, [&](int begin, int end) {
            for (int row = begin; row < end; ++row) renderRow(row);
        });
        out.donors = out.skin;
    };
    if (!reduced) renderAll();

    // 3.–5. automatic detection
    std::vector<Spot> detected;
    if (sensitivity > 0) {
        const double limit = threshold(sensitivity);
        if (reduced) {
            const int dw = std::max(1, roundInt(scale * w)), dh = std::max(1, roundInt(scale * h));
            const double sx = double(dw) / w, sy = double(dh) / h;
            // The picture and the mask are resampled in one pass (the mask
            // rides in the alpha channel), which also renders every row to
            // 8 bits while it is read.
            const Imaging::RowSource pictureWithMask = [&](int row, Imaging::Pixel* scratch) {
                renderRow(row);
                const Imaging::Pixel* p = image.mat().ptr<Imaging::Pixel>(row);
                const Imaging::Pixel* m = mask.mat().ptr<Imaging::Pixel>(row);
                for (int col = 0; col < w; ++col) scratch[col] = {p[col].r, p[col].g, p[col].b, m[col].r};
                return scratch;
            };
            Bitmap small = Imaging::renderRGBA8(Imaging::lanczosResize(w, h, pictureWithMask, dw, dh));
            renderAll();  // (the rows the reduction read are rendered already)
            Bitmap smallSkin(dw, dh, 1);
            Imaging::forRows(dh, [&](int begin, int end) {
                for (int row = begin; row < end; ++row) {
                    std::uint8_t* p = small.row(row);
                    std::uint8_t* m = smallSkin.row(row);
                    for (int col = 0; col < dw; ++col) m[col] = std::exchange(p[col * 4 + 3], 255);
                }
            });
            Bitmap smallDonors = smallSkin;
            const std::vector<PixelPoint> keepAt = keepPixels(keep, dw, dh);
            for (const Face& face : faces) {
                if (!finiteBox(face.bounds) || !(face.bounds.width > 0) || !(face.bounds.height > 0)) continue;
                const Face scaled{face.width * sx, {face.bounds.x * sx, face.bounds.y * sy, face.bounds.width * sx,
                                                    face.bounds.height * sy}};
                const std::vector<Spot> found = find(small, smallSkin, smallDonors, scaled, limit, keepAt);
                detected.insert(detected.end(), found.begin(), found.end());
            }
            // 4. the donor map at full resolution
            Imaging::forRows(h, [&](int begin, int end) {
                for (int i = begin; i < end; ++i) {
                    std::uint8_t* d = out.donors.row(i);
                    const int si = std::min(dh - 1, int(std::floor(i * sy)));
                    const std::uint8_t* sd = smallDonors.row(si);
                    const std::uint8_t* sm = smallSkin.row(si);
                    for (int j = 0; j < w; ++j) {
                        if (d[j] == 0) continue;
                        const int sj = std::min(dw - 1, int(std::floor(j * sx)));
                        if (sd[sj] == 0 && sm[sj] != 0) d[j] = 0;
                    }
                }
            });
            // 5. spots back to full resolution
            std::vector<Spot> full;
            for (Spot s : detected) {
                s.x = int(std::floor((s.x + 0.5) / sx));
                s.y = int(std::floor((s.y + 0.5) / sy));
                s.radius = std::max(3, roundInt(s.radius / sx));
                if (inside(s.x, s.y, s.radius, w, h)) full.push_back(s);
            }
            detected = std::move(full);
        } else {
            const std::vector<PixelPoint> keepAt = keepPixels(keep, w, h);
            for (const Face& face : faces) {
                const std::vector<Spot> found = find(out.rgba, out.skin, out.donors, face, limit, keepAt);
                detected.insert(detected.end(), found.begin(), found.end());
            }
        }
    }

    // 6. the memory, only when detection runs: a call with detection off
    // neither pins an empty list for the photo nor brings remembered spots back
    if (detectionKey && sensitivity > 0) detected = remembered(detected, *detectionKey, w, h, sensitivity, keep);

    // 7. brush spots, which replace the detected spots they overlap
    std::vector<Spot> spots;
    for (const auto& b : brush) {
        Spot s;
        s.x = int(std::floor(b[0] * w));
        s.y = int(std::floor(b[1] * h));
        s.radius = std::max(3, roundInt(b[2] * w));
        s.score = std::numeric_limits<double>::infinity();
        s.state = brushed;
        spots.push_back(s);
    }
    const std::size_t brushCount = spots.size();
    for (const Spot& d : detected) {
        const bool overlaps = std::any_of(spots.begin(), spots.begin() + brushCount, [&](const Spot& s) {
            return std::hypot(double(d.x - s.x), double(d.y - s.y)) < d.radius + s.radius;
        });
        if (!overlaps) spots.push_back(d);
    }

    // 8. order and spacing
    std::stable_sort(spots.begin(), spots.end(), [](const Spot& a, const Spot& b) {
        if (a.score != b.score) return a.score > b.score;
        if (a.y != b.y) return a.y < b.y;
        return a.x < b.x;
    });
    for (const Spot& s : spots) {
        if (out.spots.size() >= std::size_t(maximumSpots)) break;
        const bool crowded = std::any_of(out.spots.begin(), out.spots.end(), [&](const Spot& t) {
            return std::hypot(double(s.x - t.x), double(s.y - t.y)) < 0.75 * (s.radius + t.radius);
        });
        if (!crowded) out.spots.push_back(s);
    }
    return out;
}

}  // namespace SpotHeal
