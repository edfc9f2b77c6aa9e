#pragma once
// Two pixels at a time on GCC vector types, for row loops that are mostly
// table lookups: the compiler keeps such lookups out of its own vector
// loops, so these loops are written on vectors directly, the table values
// loaded one by one. (On processors without AVX the compiler splits each
// vector in two.)

#include <cstring>

#include "engine/imaging/image.h"

namespace Imaging::PixelLanes {

// Eight floats, or ints: the four channels of two pixels.
using Floats = float __attribute__((vector_size(32)));
using Ints = int __attribute__((vector_size(32)));

// (Vectors go in and out by reference: passing them by value would depend
// on whether the caller was compiled for AVX.)
inline void load(const Pixel* pixels, Floats& v) { std::memcpy(&v, pixels, sizeof v); }

inline void store(Pixel* pixels, const Floats& v) { std::memcpy(static_cast<void*>(pixels), &v, sizeof v); }

// v clamped to 0…1, NaN to 0, into `out`.
inline void unitOrZero(const Floats& v, Floats& out) {
    const Floats zero = {}, one = zero + 1;
    out = v > zero ? v : zero;
    out = out < one ? out : one;
}

// The table entries at `at` and at `at` + 1.
inline void neighbours(const float* table, const Ints& at, Floats& lo, Floats& hi) {
    for (int k = 0; k < 8; ++k) {
        lo[k] = table[at[k]];
        hi[k] = table[at[k] + 1];
    }
}

}  // namespace Imaging::PixelLanes
