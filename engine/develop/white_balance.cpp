#include "engine/develop/white_balance.h"

#include <cmath>

namespace WhiteBalance {

namespace {

// Robertson's isotemperature lines: reciprocal megakelvin, u, v of the locus
// point, and the slope of the line (Wyszecki & Stiles, table 1(3.11)).
struct Isotherm {
    double mired, u, v, slope;
};

constexpr Isotherm isotherms[] = {
    {0, 0.18006, 0.26352, -0.24341},   {10, 0.18066, 0.26589, -0.25479},  {20, 0.18133, 0.26846, -0.26876},
    {30, 0.18208, 0.27119, -0.28539},  {40, 0.18293, 0.27407, -0.30470},  {50, 0.18388, 0.27709, -0.32675},
    {60, 0.18494, 0.28021, -0.35156},  {70, 0.18611, 0.28342, -0.37915},  {80, 0.18740, 0.28668, -0.40955},
    {90, 0.18880, 0.28997, -0.44278},  {100, 0.19032, 0.29326, -0.47888}, {125, 0.19462, 0.30141, -0.58204},
    {150, 0.19962, 0.30921, -0.70471}, {175, 0.20525, 0.31647, -0.84901}, {200, 0.21142, 0.32312, -1.0182},
    {225, 0.21807, 0.32909, -1.2168},  {250, 0.22511, 0.33439, -1.4512},  {275, 0.23247, 0.33904, -1.7298},
    {300, 0.24010, 0.34308, -2.0637},  {325, 0.24792, 0.34655, -2.4681},  {350, 0.25591, 0.34951, -2.9641},
    {375, 0.26400, 0.35200, -3.5814},  {400, 0.27218, 0.35407, -4.3633},  {425, 0.28039, 0.35577, -5.3762},
    {450, 0.28863, 0.35714, -6.7262},  {475, 0.29685, 0.35823, -8.5955},  {500, 0.30505, 0.35907, -11.324},
    {525, 0.31320, 0.35968, -15.628},  {550, 0.32129, 0.36011, -23.325},  {575, 0.32931, 0.36038, -40.770},
    {600, 0.33724, 0.36051, -116.45},
};
constexpr int lineCount = int(std::size(isotherms));
constexpr double tintScale = -3000.0;  // uv distance along the isotherm → tint units

// Unit direction of an isotherm (along increasing v for negative slopes).
void direction(double slope, double& du, double& dv) {
    const double length = std::sqrt(1 + slope * slope);
    du = 1 / length;
    dv = slope / length;
}

}  // namespace

Neutral neutralOf(Chromaticity xy) {
    const double denominator = 1.5 - xy.x + 6.0 * xy.y;
    const double u = 2.0 * xy.x / denominator;
    const double v = 3.0 * xy.y / denominator;

    Neutral result;
    double lastDistance = 0, lastDu = 0, lastDv = 0;
    for (int i = 1; i < lineCount; ++i) {
        double du, dv;
        direction(isotherms[i].slope, du, dv);
        const double uu = u - isotherms[i].u, vv = v - isotherms[i].v;
        double distance = -uu * dv + vv * du;  // signed distance from the isotherm
        if (distance <= 0 || i == lineCount - 1) {
            if (distance > 0) distance = 0;
            distance = -distance;
            const double f = i == 1 ? 0.0 : distance / (lastDistance + distance);
            result.temperature = 1.0e6 / (isotherms[i - 1].mired * f + isotherms[i].mired * (1 - f));
            const double lu = u - (isotherms[i - 1].u * f + isotherms[i].u * (1 - f));
            const double lv = v - (isotherms[i - 1].v * f + isotherms[i].v * (1 - f));
            double iu = du * (1 - f) + lastDu * f, iv = dv * (1 - f) + lastDv * f;
            const double length = std::hypot(iu, iv);
            iu /= length, iv /= length;
            result.tint = (lu * iu + lv * iv) * tintScale;
            break;
        }
        lastDistance = distance, lastDu = du, lastDv = dv;
    }
    return result;
}

Chromaticity chromaticityOf(Neutral neutral) {
    const double mired = 1.0e6 / neutral.temperature;
    const double offset = neutral.tint / tintScale;
    for (int i = 0; i < lineCount - 1; ++i) {
        if (mired < isotherms[i + 1].mired || i == lineCount - 2) {
            const double f = (isotherms[i + 1].mired - mired) / (isotherms[i + 1].mired - isotherms[i].mired);
            double u = isotherms[i].u * f + isotherms[i + 1].u * (1 - f);
            double v = isotherms[i].v * f + isotherms[i + 1].v * (1 - f);
            double u1, v1, u2, v2;
            direction(isotherms[i].slope, u1, v1);
            direction(isotherms[i + 1].slope, u2, v2);
            double u3 = u1 * f + u2 * (1 - f), v3 = v1 * f + v2 * (1 - f);
            const double length = std::hypot(u3, v3);
            u3 /= length, v3 /= length;
            u += u3 * offset;
            v += v3 * offset;
            return {1.5 * u / (u - 4.0 * v + 2.0), v / (u - 4.0 * v + 2.0)};
        }
    }
    return {0.3127, 0.3290};
}

Vector3 xyzOf(Chromaticity xy) { return {xy.x / xy.y, 1.0, (1 - xy.x - xy.y) / xy.y}; }

Chromaticity chromaticityOfXYZ(const Vector3& xyz) {
    const double sum = xyz[0] + xyz[1] + xyz[2];
    if (!(std::fabs(sum) > 1e-12)) return {0.3127, 0.3290};
    return {xyz[0] / sum, xyz[1] / sum};
}

Matrix3 inverse(const Matrix3& m) {
    const double a = m[0][0], b = m[0][1], c = m[0][2], d = m[1][0], e = m[1][1], f = m[1][2], g = m[2][0],
                 h = m[2][1], i = m[2][2];
    const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
    if (!(std::fabs(det) > 1e-15)) return {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    return {{{(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det},
             {(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det},
             {(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det}}};
}

Vector3 times(const Matrix3& m, const Vector3& v) {
    return {m[0][0] * v[0] + m[0][1] * v[1] + m[0][2] * v[2], m[1][0] * v[0] + m[1][1] * v[1] + m[1][2] * v[2],
            m[2][0] * v[0] + m[2][1] * v[1] + m[2][2] * v[2]};
}

Matrix3 times(const Matrix3& a, const Matrix3& b) {
    Matrix3 out{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            for (int k = 0; k < 3; ++k) out[r][c] += a[r][k] * b[k][c];
    return out;
}

Matrix3 adaptation(Neutral neutral, Neutral target) {
    static const Matrix3 sRGBToXYZ{{{0.4124564, 0.3575761, 0.1804375},
                                    {0.2126729, 0.7151522, 0.0721750},
                                    {0.0193339, 0.1191920, 0.9503041}}};
    static const Matrix3 bradford{{{0.8951, 0.2664, -0.1614}, {-0.7502, 1.7135, 0.0367}, {0.0389, -0.0685, 1.0296}}};
    const Vector3 from = times(bradford, xyzOf(chromaticityOf(neutral)));
    const Vector3 to = times(bradford, xyzOf(chromaticityOf(target)));
    Matrix3 gains{};
    for (int c = 0; c < 3; ++c) gains[c][c] = std::fabs(from[c]) > 1e-12 ? to[c] / from[c] : 1.0;
    const Matrix3 inXYZ = times(inverse(bradford), times(gains, bradford));
    return times(inverse(sRGBToXYZ), times(inXYZ, sRGBToXYZ));
}

Imaging::Image temperatureAndTint(const Imaging::Image& image, Neutral neutral, Neutral target) {
    const Matrix3 m = adaptation(neutral, target);
    float k[9];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) k[r * 3 + c] = float(m[r][c]);
    return Imaging::map(image, [&k](const Imaging::Pixel& p) {
        return Imaging::Pixel{k[0] * p.r + k[1] * p.g + k[2] * p.b, k[3] * p.r + k[4] * p.g + k[5] * p.b,
                              k[6] * p.r + k[7] * p.g + k[8] * p.b, p.a};
    });
}

}  // namespace WhiteBalance
