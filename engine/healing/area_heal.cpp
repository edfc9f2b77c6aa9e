#include "engine/healing/area_heal.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "engine/healing/remove_fill.h"
#include "engine/healing/spot_heal.h"
#include "engine/imaging/mask_canvas.h"

namespace AreaHeal {

using Imaging::Bitmap;
using Imaging::Image;
using Imaging::Pixel;

namespace {

int roundInt(double v) { return int(std::round(v)); }  // half away from zero

using RGB = std::array<double, 3>;

RGB rgbAt(const Bitmap& raster, int x, int y) {
    x = std::clamp(x, 0, raster.width - 1);
    y = std::clamp(y, 0, raster.height - 1);
    const std::uint8_t* p = raster.row(y) + std::size_t(x) * std::size_t(raster.channels);
    return {double(p[0]), double(p[1]), double(p[2])};
}

double lumaOf(const RGB& c) { return luma(c[0], c[1], c[2]); }

struct Point {
    int x = 0, y = 0;
};

// Every s-th entry starting with the first, s = 1 below 3000 entries, else ⌊count / 3000⌋.
std::vector<Point> thinned(const std::vector<Point>& list) {
    const std::size_t step = list.size() < 3000 ? 1 : list.size() / 3000;
    std::vector<Point> out;
    out.reserve(list.size() / step + 1);
    for (std::size_t i = 0; i < list.size(); i += step) out.push_back(list[i]);
    return out;
}

// The per-cell correction (target − source) over the hole, relaxed from the
// cells around it, read back per pixel by bilinear interpolation.
class Membrane {
public:
    Membrane(const Bitmap& target, const Bitmap& source, const Bitmap& strokeMask) {
        const int w = target.width, h = target.height;
        const double g = std::min(double(membraneSide) / std::max(w, h), 1.0);
        vx_ = std::max(3, roundInt(g * w));
        vy_ = std::max(3, roundInt(g * h));
        w_ = w, h_ = h;
        const std::size_t cells = std::size_t(vx_) * std::size_t(vy_);
        values_.assign(cells, RGB{0, 0, 0});
        std::vector<int> counts(cells, 0);
        std::vector<bool> hole(cells, false);
        for (int row = 0; row < h; ++row) {
            const int cy = std::min(int(std::int64_t(row) * vy_ / h), vy_ - 1);
            const std::uint8_t* t = target.row(row);
            const std::uint8_t* s = source.row(row);
            const std::uint8_t* m = strokeMask.row(row);
            for (int col = 0; col < w; ++col) {
                const int cx = std::min(int(std::int64_t(col) * vx_ / w), vx_ - 1);
                const std::size_t cell = std::size_t(cy) * std::size_t(vx_) + std::size_t(cx);
                for (int c = 0; c < 3; ++c) values_[cell][std::size_t(c)] += double(t[col * 4 + c]) - double(s[col * 4 + c]);
                ++counts[cell];
                if (m[col] != 0) hole[cell] = true;
            }
        }
        RGB known{0, 0, 0};
        int knownCells = 0;
        for (std::size_t i = 0; i < cells; ++i) {
            if (counts[i] > 0)
                for (double& v : values_[i]) v /= counts[i];
            if (!hole[i]) {
                for (int c = 0; c < 3; ++c) known[std::size_t(c)] += values_[i][std::size_t(c)];
                ++knownCells;
            }
        }
        if (knownCells == 0) {  // every cell is a hole: no correction
            std::fill(values_.begin(), values_.end(), RGB{0, 0, 0});
            return;
        }
        for (double& v : known) v /= knownCells;
        for (std::size_t i = 0; i < cells; ++i)
            if (hole[i]) values_[i] = known;
        // Successive over-relaxation of the hole cells in row order, each
        // moved 1.9 times towards the mean of its neighbours inside the grid.
        struct HoleCell {
            std::size_t index;
            std::array<std::size_t, 4> neighbours;
            int count;
            double step;  // 1.9 / count
        };
        std::vector<HoleCell> holes;
        for (int y = 0; y < vy_; ++y)
            for (int x = 0; x < vx_; ++x) {
                const std::size_t i = std::size_t(y) * std::size_t(vx_) + std::size_t(x);
                if (!hole[i]) continue;
                HoleCell cell{i, {}, 0, 0};
                // The left neighbour, just updated, comes last: the other
                // three are summed while its update is still on its way.
                if (x + 1 < vx_) cell.neighbours[std::size_t(cell.count++)] = i + 1;
                if (y > 0) cell.neighbours[std::size_t(cell.count++)] = i - std::size_t(vx_);
                if (y + 1 < vy_) cell.neighbours[std::size_t(cell.count++)] = i + std::size_t(vx_);
                if (x > 0) cell.neighbours[std::size_t(cell.count++)] = i - 1;
                cell.step = 1.9 / cell.count;
                holes.push_back(cell);
            }
        const int sweeps = 2 * std::max(vx_, vy_) + 40;
        for (int sweep = 0; sweep < sweeps; ++sweep) {
            for (const HoleCell& cell : holes) {
                RGB sum{0, 0, 0};
                for (int k = 0; k < cell.count; ++k) {
                    const RGB& v = values_[cell.neighbours[std::size_t(k)]];
                    sum[0] += v[0], sum[1] += v[1], sum[2] += v[2];
                }
                // value + 1.9·(sum / count − value)
                RGB& value = values_[cell.index];
                for (std::size_t c = 0; c < 3; ++c) value[c] = cell.step * sum[c] - 0.9 * value[c];
            }
        }
    }

    RGB at(int col, int row) const {
        const double fx = std::clamp((col + 0.5) * vx_ / w_ - 0.5, 0.0, double(vx_ - 1));
        const double fy = std::clamp((row + 0.5) * vy_ / h_ - 0.5, 0.0, double(vy_ - 1));
        const int x0 = int(fx), y0 = int(fy);
        const int x1 = std::min(x0 + 1, vx_ - 1), y1 = std::min(y0 + 1, vy_ - 1);
        const double ax = fx - x0, ay = fy - y0;
        const auto v = [&](int x, int y) -> const RGB& { return values_[std::size_t(y) * std::size_t(vx_) + std::size_t(x)]; };
        RGB out;
        for (std::size_t c = 0; c < 3; ++c) {
            const double top = v(x0, y0)[c] + ax * (v(x1, y0)[c] - v(x0, y0)[c]);
            const double bottom = v(x0, y1)[c] + ax * (v(x1, y1)[c] - v(x0, y1)[c]);
            out[c] = top + ay * (bottom - top);
        }
        return out;
    }

private:
    int vx_ = 3, vy_ = 3, w_ = 1, h_ = 1;
    std::vector<RGB> values_;
};

// What the donor search knows about the stroke's surroundings.
struct Reference {
    RGB mean{0, 0, 0};
    double lumaMean = 0;
    double lumaDeviation = 0;
};

Reference reference(const Bitmap& raster, const std::vector<Point>& known, int ox, int oy) {
    Reference out;
    double sumLuma = 0, sumLuma2 = 0;
    for (const Point& k : known) {
        const RGB c = rgbAt(raster, ox + k.x, oy + k.y);
        for (std::size_t i = 0; i < 3; ++i) out.mean[i] += c[i];
        const double l = lumaOf(c);
        sumLuma += l, sumLuma2 += l * l;
    }
    const double n = double(known.size());
    for (double& v : out.mean) v /= n;
    out.lumaMean = sumLuma / n;
    out.lumaDeviation = std::sqrt(std::max(0.0, sumLuma2 / n - out.lumaMean * out.lumaMean));
    return out;
}

// The cost of copying from the raster place (qx, qy), a picture offset (dx, dy) away.
double cost(const Bitmap& raster, const std::vector<Point>& known, const std::vector<Point>& holes, const Reference& ref,
            int ox, int oy, int qx, int qy, int dx, int dy, double M) {
    RGB sourceMean{0, 0, 0};
    for (const Point& k : known) {
        const RGB c = rgbAt(raster, qx + k.x, qy + k.y);
        for (std::size_t i = 0; i < 3; ++i) sourceMean[i] += c[i];
    }
    RGB offset;
    for (std::size_t i = 0; i < 3; ++i) offset[i] = ref.mean[i] - sourceMean[i] / double(known.size());
    double mismatch = 0;
    for (const Point& k : known) {
        const RGB s = rgbAt(raster, qx + k.x, qy + k.y);
        const RGB r = rgbAt(raster, ox + k.x, oy + k.y);
        for (std::size_t i = 0; i < 3; ++i) {
            const double d = s[i] + offset[i] - r[i];
            mismatch += d * d;
        }
    }
    mismatch /= 3.0 * double(known.size());

    const double offsetLuma = lumaOf(offset);
    const double limit = 2.5 * ref.lumaDeviation + 4;
    double sumLuma = 0, sumLuma2 = 0, excess = 0;
    for (const Point& k : holes) {
        const double l = lumaOf(rgbAt(raster, qx + k.x, qy + k.y));
        sumLuma += l, sumLuma2 += l * l;
        const double over = std::max(0.0, std::abs(offsetLuma + l - ref.lumaMean) - limit);
        excess += over * over;
    }
    const double n = double(holes.size());
    const double mean = sumLuma / n;
    const double holeDeviation = std::sqrt(std::max(0.0, sumLuma2 / n - mean * mean));
    excess /= n;

    const double offsetSquared = offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2];
    const double spread = holeDeviation - ref.lumaDeviation;
    const double rough = std::max(0.0, holeDeviation - 1.25 * ref.lumaDeviation - 2);
    return 2.0 * (double(dx) * dx + double(dy) * dy) / (M * M) + 0.15 * offsetSquared / 3 + mismatch +
           0.6 * spread * spread + 4 * rough * rough + 2 * excess;
}

// One moving-average pass along rows (step 1) or columns (step w), in place.
void boxPass(std::vector<float>& values, std::vector<float>& line, int length, int lines, std::size_t step,
             std::size_t lineStep, int radius) {
    const float norm = 1.0f / float(2 * radius + 1);
    for (int l = 0; l < lines; ++l) {
        float* base = values.data() + std::size_t(l) * lineStep;
        for (int i = 0; i < length; ++i) line[std::size_t(i)] = base[std::size_t(i) * step];
        const auto at = [&](int i) { return line[std::size_t(std::clamp(i, 0, length - 1))]; };
        double sum = 0;
        for (int i = -radius; i <= radius; ++i) sum += at(i);
        for (int i = 0; i < length; ++i) {
            base[std::size_t(i) * step] = float(sum) * norm;
            sum += double(at(i + radius + 1)) - double(at(i - radius));
        }
    }
}

}  // namespace

Box Box::padded(int p, int W, int H) const {
    const int left = std::max(0, x - p), top = std::max(0, y - p);
    const int right = std::min(x + w + p, W), bottom = std::min(y + h + p, H);
    return {left, top, right - left, bottom - top};
}

Pixel areaBlend(const Pixel& original, const Pixel& positive, const Pixel& negative) {
    return SpotHeal::spotBlend(original, positive, negative);
}

double radius(const Stroke& area, int W) { return std::max(area.r * W, 1.5); }

std::optional<Box> bounds(const Stroke& area, int W, int H) {
    if (area.pts.empty()) return std::nullopt;
    const double rho = radius(area, W);
    double minX = INFINITY, maxX = -INFINITY, minY = INFINITY, maxY = -INFINITY;
    for (const auto& p : area.pts) {
        if (p.size() < 2) return std::nullopt;
        minX = std::min(minX, p[0] * W), maxX = std::max(maxX, p[0] * W);
        minY = std::min(minY, p[1] * H), maxY = std::max(maxY, p[1] * H);
    }
    const int left = int(std::max(0.0, std::floor(minX - rho)));
    const int right = int(std::min(double(W), std::ceil(maxX + rho)));
    const int top = int(std::max(0.0, std::floor(minY - rho)));
    const int bottom = int(std::min(double(H), std::ceil(maxY + rho)));
    if (!(left < right && top < bottom)) return std::nullopt;
    return Box{left, top, right - left, bottom - top};
}

Bitmap mask(const Stroke& area, const Box& box, double scale, int W, int H) {
    const int u = std::max(1, roundInt(scale * box.w)), v = std::max(1, roundInt(scale * box.h));
    Imaging::MaskCanvas canvas(Imaging::Rect{0, 0, u, v}, false, Imaging::MaskCanvas::YAxis::down);
    Bitmap out(u, v, 1);
    if (!canvas.ok()) return out;
    canvas.scale(scale);
    const double rho = radius(area, W);
    struct P {
        double x, y;
    };
    std::vector<P> path;
    for (const auto& p : area.pts) path.push_back({p[0] * W - box.x, p[1] * H - box.y});
    canvas.newPath();
    for (const P& p : path) canvas.circle(p.x, p.y, rho);
    canvas.fill();
    if (path.size() >= 2) {
        canvas.polygon(path, false);
        canvas.stroke(2 * rho);
    }
    const cv::Mat bytes = canvas.bytes();
    for (int y = 0; y < v; ++y) std::copy(bytes.ptr<std::uint8_t>(y), bytes.ptr<std::uint8_t>(y) + u, out.row(y));
    return out;
}

Bitmap pixels(const Image& image, const Box& box, double scale, int H) {
    const Image part = Imaging::cropView(image, box.ci(H));
    if (part.empty()) return Bitmap();
    const int u = std::max(1, roundInt(scale * box.w)), v = std::max(1, roundInt(scale * box.h));
    if (scale < 1) return Imaging::renderRGBA8(Imaging::lanczosResize(part, u, v));
    return Imaging::renderRGBA8(part);
}

Image blendDelta(Image&& image, const Bitmap& positive, const Bitmap& negative, const Box& box, int H) {
    const Imaging::Rect rect = box.ci(H);
    const Imaging::Rect e = image.extent();
    if (positive.width != box.w || positive.height != box.h || negative.width != box.w || negative.height != box.h ||
        positive.channels != 4 || negative.channels != 4 || rect.empty() || e.intersection(rect) != rect)
        throw Failure("Could not blend the painted area");
    const cv::Mat& held = image.mat();
    Image out;
    if (held.u && held.u->refcount == 1 && held.isContinuous()) {
        out = std::move(image);
    } else {
        out = Image(e);
        Imaging::forRows(e.height, [&](int begin, int end) {
            for (int row = begin; row < end; ++row) {
                const Pixel* in = image.mat().ptr<Pixel>(row);
                std::copy(in, in + e.width, out.mutableMat().ptr<Pixel>(row));
            }
        });
    }
    // Box rows are top-down like stored rows: box row r is stored row (maxY(e) − maxY(rect)) + r.
    const int firstRow = e.maxY() - rect.maxY(), firstCol = rect.x - e.x;
    Imaging::forRows(box.h, [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            Pixel* o = out.mutableMat().ptr<Pixel>(firstRow + r) + firstCol;
            const std::uint8_t* p = positive.row(r);
            const std::uint8_t* n = negative.row(r);
            for (int c = 0; c < box.w; ++c, p += 4, n += 4) {
                const Pixel plus{p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, p[3] / 255.0f};
                const Pixel minus{n[0] / 255.0f, n[1] / 255.0f, n[2] / 255.0f, n[3] / 255.0f};
                o[c] = areaBlend(o[c], plus, minus);
            }
        }
    });
    return out;
}

Image blendDelta(const Image& image, const Bitmap& positive, const Bitmap& negative, const Box& box, int H) {
    Image shared = image;  // a second reference: the pixels are copied, never written
    return blendDelta(std::move(shared), positive, negative, box, H);
}

std::vector<float> softEdge(std::vector<float> values, int w, int h, int radius) {
    if (w <= 0 || h <= 0 || radius <= 0) return values;
    std::vector<float> line(std::size_t(std::max(w, h)));
    for (int pass = 0; pass < 3; ++pass) {
        boxPass(values, line, w, h, 1, std::size_t(w), radius);
        boxPass(values, line, h, w, std::size_t(w), 1, radius);
    }
    return values;
}

std::optional<Delta> repair(const Stroke& area, const Box& box, const std::vector<Box>& others, const Image& image,
                            int W, int H) {
    // 1–2. Target and search boxes.
    const double rho = radius(area, W);
    const Box T = box.padded(std::max(3, roundInt(0.5 * rho)), W, H);
    if (std::int64_t(T.w) * T.h > maximumAreaPixels) return std::nullopt;
    const int M = std::max(box.w, box.h);
    const Box S = T.padded(int(std::ceil(4.0 * M)) + 2, W, H);

    // 3. The search raster.
    const double fit = double(searchSide) / std::max(T.w, T.h);
    const double c = std::min(fit, 1.0);
    const Bitmap search = pixels(image, S, c, H);
    const int sw = search.width, sh = search.height;
    const double kx = double(sw) / S.w, ky = double(sh) / S.h;
    const int ox = roundInt(kx * (T.x - S.x)), oy = roundInt(ky * (T.y - S.y));

    // 4–5. Coarse mask: hole and known pixels, thinned.
    const Bitmap coarse = mask(area, T, c, W, H);
    const int tw = coarse.width, th = coarse.height;
    std::vector<Point> holeList, knownList;
    for (int y = 0; y < th; ++y) {
        for (int x = 0; x < tw; ++x) {
            if (coarse.row(y)[x] >= 128) {
                holeList.push_back({x, y});
                continue;
            }
            bool quiet = true;
            for (int ny = std::max(0, y - 1); ny <= std::min(th - 1, y + 1) && quiet; ++ny)
                for (int nx = std::max(0, x - 1); nx <= std::min(tw - 1, x + 1); ++nx)
                    if (coarse.row(ny)[nx] > 16) {
                        quiet = false;
                        break;
                    }
            if (quiet) knownList.push_back({x, y});
        }
    }
    if (holeList.empty() || knownList.empty()) return std::nullopt;
    const std::vector<Point> holes = thinned(holeList), known = thinned(knownList);

    // 6. Reference statistics at the stroke's own place.
    const Reference ref = reference(search, known, ox, oy);

    // 7–8. The cheapest donor offset.
    std::optional<Point> best;
    double bestCost = 0;
    for (const double f : {1.15, 1.5, 2.0, 2.8, 4.0}) {
        for (int k = 0; k < 32; ++k) {
            const double theta = k * 2 * std::numbers::pi / 32;
            const int dx = roundInt(f * M * std::cos(theta)), dy = roundInt(f * M * std::sin(theta));
            if (T.x + dx < 0 || T.y + dy < 0 || T.x + dx + T.w > W || T.y + dy + T.h > H) continue;
            const Box moved{box.x + dx, box.y + dy, box.w, box.h};
            if (std::any_of(others.begin(), others.end(), [&](const Box& o) { return moved.intersects(o); })) continue;
            const int qx = ox + roundInt(kx * dx), qy = oy + roundInt(ky * dy);
            if (qx < 0 || qy < 0 || qx + tw > sw || qy + th > sh) continue;
            const double value = cost(search, known, holes, ref, ox, oy, qx, qy, dx, dy, M);
            if (!best || value < bestCost) best = Point{dx, dy}, bestCost = value;
        }
    }
    if (!best) return std::nullopt;

    // 9. Full-resolution target, source and stroke mask.
    const Bitmap target = pixels(image, T, 1, H);
    const Bitmap source = pixels(image, Box{T.x + best->x, T.y + best->y, T.w, T.h}, 1, H);
    const Bitmap strokeMask = mask(area, T, 1, W, H);
    if (target.width != T.w || target.height != T.h || source.width != T.w || source.height != T.h) return std::nullopt;

    // 10. The correction membrane.
    const Membrane membrane(target, source, strokeMask);

    // 11. Feathered alpha.
    std::vector<float> alpha(std::size_t(T.w) * std::size_t(T.h));
    for (int y = 0; y < T.h; ++y)
        for (int x = 0; x < T.w; ++x) alpha[std::size_t(y) * std::size_t(T.w) + std::size_t(x)] = strokeMask.row(y)[x] / 255.0f;
    alpha = softEdge(std::move(alpha), T.w, T.h, std::max(1, roundInt(0.2 * rho)));

    // 12. The difference rasters.
    Bitmap positive(T.w, T.h, 4), negative(T.w, T.h, 4);
    bool changed = false;
    for (int y = 0; y < T.h; ++y) {
        const std::uint8_t* t = target.row(y);
        const std::uint8_t* s = source.row(y);
        std::uint8_t* p = positive.row(y);
        std::uint8_t* n = negative.row(y);
        for (int x = 0; x < T.w; ++x) {
            p[x * 4 + 3] = n[x * 4 + 3] = 255;
            const double a = alpha[std::size_t(y) * std::size_t(T.w) + std::size_t(x)];
            if (!(a > 0.002)) continue;
            const RGB correction = membrane.at(x, y);
            for (int ch = 0; ch < 3; ++ch) {
                const int before = t[x * 4 + ch];
                const double blended = before + a * (s[x * 4 + ch] + correction[std::size_t(ch)] - before);
                const int after = std::clamp(roundInt(blended), 0, 255);
                p[x * 4 + ch] = std::uint8_t(std::max(0, after - before));
                n[x * 4 + ch] = std::uint8_t(std::max(0, before - after));
                changed = changed || after != before;
            }
        }
    }
    if (!changed) return std::nullopt;
    return Delta{std::move(positive), std::move(negative), T, Box{T.x + best->x, T.y + best->y, T.w, T.h}};
}

std::optional<Image> one(const Stroke& area, const Box& box, const std::vector<Box>& others, const Image& image, int W,
                         int H) {
    std::optional<Delta> delta = repair(area, box, others, image, W, H);
    if (!delta) return std::nullopt;
    return blendDelta(image, delta->positive, delta->negative, delta->box, H);
}

Image apply(const Image& image, const std::vector<Stroke>& areas) {
    std::vector<const Stroke*> kept;
    for (const Stroke& a : areas)
        if ((a.tool == "heal" || a.tool == "remove") && a.isValid()) kept.push_back(&a);
    if (kept.empty()) return image;
    const int W = image.width(), H = image.height();
    if (W <= 0 || H <= 0 || image.extent().x != 0 || image.extent().y != 0)
        throw Failure("Heal needs a picture with its origin at zero");

    std::vector<std::optional<Box>> boxes;
    std::vector<Box> all;
    for (const Stroke* a : kept) {
        boxes.push_back(bounds(*a, W, H));
        if (boxes.back()) all.push_back(*boxes.back());
    }
    // The first repair copies the picture; later ones change that copy in place.
    Image current = image;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        if (!boxes[i]) continue;
        std::optional<Delta> delta = kept[i]->tool == "remove" ? RemoveFill::fill(*kept[i], *boxes[i], current, W, H)
                                                               : repair(*kept[i], *boxes[i], all, current, W, H);
        if (delta) current = blendDelta(std::move(current), delta->positive, delta->negative, delta->box, H);
    }
    return current;
}

std::optional<Image> apply(const Image& image, const Develop::Look& look) {
    if (!look.removeAreas || look.removeAreas->empty()) return std::nullopt;
    return apply(image, *look.removeAreas);
}

}  // namespace AreaHeal
