#pragma once
// OKLab round trip of one sRGB-encoded pixel in single precision, as the
// camera kernels take it: channels clamped to 0…1 before decoding, negatives
// cut to 0 before encoding (values above 1 are kept on the way out).

#include <algorithm>
#include <cmath>

#include "engine/imaging/colour/oklab.h"
#include "engine/imaging/colour/rgb.h"
#include "engine/imaging/image.h"

namespace CameraOKLab {

struct Lab {
    float L = 0, A = 0, B = 0;
};

inline float encode(float v) { return Imaging::sRGBEncode(std::max(v, 0.0f)); }

inline Lab fromEncoded(const Colour::RGB& s) {
    const OKLab::Lab lab = OKLab::fromSRGB(
        {std::clamp(s.r, 0.0f, 1.0f), std::clamp(s.g, 0.0f, 1.0f), std::clamp(s.b, 0.0f, 1.0f)});
    return {lab.L, lab.a, lab.b};
}

inline Colour::RGB toEncoded(const Lab& lab) {
    const Colour::RGB linear = OKLab::toLinear({lab.L, lab.A, lab.B});
    return {encode(linear.r), encode(linear.g), encode(linear.b)};
}

}  // namespace CameraOKLab
