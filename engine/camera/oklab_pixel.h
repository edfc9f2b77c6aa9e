#pragma once
// OKLab round trip of one sRGB-encoded pixel in single precision, as the
// camera kernels take it: channels clamped to 0…1 before decoding, negatives
// cut to 0 before encoding (values above 1 are kept on the way out).

#include <algorithm>
#include <cmath>

#include "engine/develop/rgb.h"

namespace CameraOKLab {

struct Lab {
    float L = 0, A = 0, B = 0;
};

inline float decode(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return v <= 0.04045f ? v / 12.92f : std::pow((v + 0.055f) / 1.055f, 2.4f);
}

inline float encode(float v) {
    v = std::max(v, 0.0f);
    return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1 / 2.4f) - 0.055f;
}

inline Lab fromEncoded(const Develop::RGB& s) {
    const float r = decode(s.r), g = decode(s.g), b = decode(s.b);
    const float l = std::cbrt(0.4122214708f * r + 0.5363325363f * g + 0.0514459929f * b);
    const float m = std::cbrt(0.2119034982f * r + 0.6806995451f * g + 0.1073969566f * b);
    const float q = std::cbrt(0.0883024619f * r + 0.2817188376f * g + 0.6299787005f * b);
    return {0.2104542553f * l + 0.7936177850f * m - 0.0040720468f * q,
            1.9779984951f * l - 2.4285922050f * m + 0.4505937099f * q,
            0.0259040371f * l + 0.7827717662f * m - 0.8086757660f * q};
}

inline Develop::RGB toEncoded(const Lab& lab) {
    const float l = lab.L + 0.3963377774f * lab.A + 0.2158037573f * lab.B;
    const float m = lab.L - 0.1055613458f * lab.A - 0.0638541728f * lab.B;
    const float q = lab.L - 0.0894841775f * lab.A - 1.2914855480f * lab.B;
    const float lc = l * l * l, mc = m * m * m, qc = q * q * q;
    return {encode(4.0767416621f * lc - 3.3077115913f * mc + 0.2309699292f * qc),
            encode(-1.2684380046f * lc + 2.6097574011f * mc - 0.3413193965f * qc),
            encode(-0.0041960863f * lc - 0.7034186147f * mc + 1.7076147010f * qc)};
}

}  // namespace CameraOKLab
