#include "engine/vision/network_layers.h"

#include <algorithm>

#include "engine/imaging/vector_loop.h"

namespace NetworkLayers {

// The layer loops are plain C++ written for the compiler to vectorise over
// channels; on x86-64 each also gets an AVX2 variant chosen at run time
// (`VECTOR_LOOP`, the engine's one rule: FMA stays off).

namespace {

// Eight floats; loads and stores through it need no alignment. The helpers
// are always inlined, so no vector crosses a call (and the note about the AVX
// calling convention does not apply).
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
using Vec = float __attribute__((vector_size(32), aligned(4)));
constexpr int lanes = 8;

// P pixels times N vectors of outputs: out(q, o) = bias(o) + sum over i of
// in(q, i) * w(i, o), the accumulators and one row of w held in registers.
// Pointers are at the first pixel and the first output of the tile; rows of
// `in` are ci apart, rows of w and `out` co apart.
template <int P, int N>
inline __attribute__((always_inline)) void pointwiseTile(const float* in, int ci, const float* w, int co,
                                                         const float* bias, float* out) {
    Vec acc[P][N];
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) acc[q][n] = *reinterpret_cast<const Vec*>(bias + n * lanes);
    for (int i = 0; i < ci; ++i) {
        Vec row[N];
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) row[n] = *reinterpret_cast<const Vec*>(w + std::size_t(i) * co + n * lanes);
#pragma GCC unroll 8
        for (int q = 0; q < P; ++q) {
            const float x = in[std::size_t(q) * ci + i];
            const Vec xv = {x, x, x, x, x, x, x, x};
#pragma GCC unroll 8
            for (int n = 0; n < N; ++n) acc[q][n] += xv * row[n];
        }
    }
#pragma GCC unroll 8
    for (int q = 0; q < P; ++q)
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) *reinterpret_cast<Vec*>(out + std::size_t(q) * co + n * lanes) = acc[q][n];
}

// All pixels for N vectors of outputs, three pixels at a time.
template <int N>
inline __attribute__((always_inline)) void pointwiseColumns(const float* in, int count, int ci, const float* w,
                                                            int co, const float* bias, float* out) {
    int p = 0;
    for (; p + 3 <= count; p += 3)
        pointwiseTile<3, N>(in + std::size_t(p) * ci, ci, w, co, bias, out + std::size_t(p) * co);
    for (; p < count; ++p) pointwiseTile<1, N>(in + std::size_t(p) * ci, ci, w, co, bias, out + std::size_t(p) * co);
}

}  // namespace

// out(p, o) = bias(o) + sum over i of in(p, i) * w(i, o), for `count` pixels:
// 32 outputs at a time (8 while fewer are left). Output counts that are not a
// multiple of 8 take a plain loop.
VECTOR_LOOP void pointwise(const float* in, int count, int ci, const float* w, int co, const float* bias, float* out) {
    if (co % lanes) {
        for (int p = 0; p < count; ++p)
            for (int o = 0; o < co; ++o) {
                float acc = bias[o];
                for (int i = 0; i < ci; ++i) acc += in[std::size_t(p) * ci + i] * w[std::size_t(i) * co + o];
                out[std::size_t(p) * co + o] = acc;
            }
        return;
    }
    int o = 0;
    for (; o + 4 * lanes <= co; o += 4 * lanes) pointwiseColumns<4>(in, count, ci, w + o, co, bias + o, out + o);
    for (; o < co; o += lanes) pointwiseColumns<1>(in, count, ci, w + o, co, bias + o, out + o);
}

namespace {

// out(y, x, c) = sum over the K x K window of in * w(ky, kx, c). Eight
// channels at a time with their taps held in registers; channel counts
// that are not a multiple of 8 take a plain loop.
template <int K>
inline __attribute__((always_inline)) void depthwiseSquare(const Map& in, const float* filters, int stride, Map& out) {
    const int c = in.channels;
    const int padY = paddingBefore(in.height, stride, K), padX = paddingBefore(in.width, stride, K);
    if (c % lanes) {
        for (int oy = 0; oy < out.height; ++oy)
            for (int ox = 0; ox < out.width; ++ox) {
                float* __restrict acc = out.at(oy, ox);
                std::fill(acc, acc + c, 0.0f);
                for (int ky = 0; ky < K; ++ky) {
                    const int iy = oy * stride + ky - padY;
                    if (iy < 0 || iy >= in.height) continue;
                    for (int kx = 0; kx < K; ++kx) {
                        const int ix = ox * stride + kx - padX;
                        if (ix < 0 || ix >= in.width) continue;
                        const float* __restrict x = in.at(iy, ix);
                        const float* __restrict w = filters + (ky * K + kx) * c;
                        for (int ch = 0; ch < c; ++ch) acc[ch] += x[ch] * w[ch];
                    }
                }
            }
        return;
    }
    for (int n = 0; n < c; n += lanes) {
        Vec k[K * K];
#pragma GCC unroll 25
        for (int t = 0; t < K * K; ++t) k[t] = *reinterpret_cast<const Vec*>(filters + t * c + n);
        for (int oy = 0; oy < out.height; ++oy)
            for (int ox = 0; ox < out.width; ++ox) {
                Vec acc{};
#pragma GCC unroll 5
                for (int ky = 0; ky < K; ++ky) {
                    const int iy = oy * stride + ky - padY;
                    if (iy < 0 || iy >= in.height) continue;
#pragma GCC unroll 5
                    for (int kx = 0; kx < K; ++kx) {
                        const int ix = ox * stride + kx - padX;
                        if (ix < 0 || ix >= in.width) continue;
                        acc += *reinterpret_cast<const Vec*>(in.at(iy, ix) + n) * k[ky * K + kx];
                    }
                }
                *reinterpret_cast<Vec*>(out.at(oy, ox) + n) = acc;
            }
    }
}

}  // namespace

VECTOR_LOOP void depthwise(const Map& in, const float* filters, int stride, Map& out) {
    depthwiseSquare<3>(in, filters, stride, out);
}

VECTOR_LOOP void depthwise5(const Map& in, const float* filters, int stride, Map& out) {
    depthwiseSquare<5>(in, filters, stride, out);
}

void full(const Map& in, const float* filters, const float* bias, int stride, Map& out, Buffer& patchBuffer) {
    const int ci = in.channels, co = out.channels, patch = 9 * ci;
    const int padY = paddingBefore(in.height, stride), padX = paddingBefore(in.width, stride);
    float* patches = patchBuffer.map(1, out.width, patch).data;
    for (int oy = 0; oy < out.height; ++oy) {
        for (int ox = 0; ox < out.width; ++ox) {
            float* p = patches + std::size_t(ox) * patch;
            for (int ky = 0; ky < 3; ++ky) {
                const int iy = oy * stride + ky - padY;
                for (int kx = 0; kx < 3; ++kx, p += ci) {
                    const int ix = ox * stride + kx - padX;
                    if (iy < 0 || iy >= in.height || ix < 0 || ix >= in.width) std::fill(p, p + ci, 0.0f);
                    else std::copy_n(in.at(iy, ix), ci, p);
                }
            }
        }
        pointwise(patches, out.width, patch, filters, co, bias, out.at(oy, 0));
    }
}

VECTOR_LOOP void biasAndClamp(Map& map, const float* bias, float low, float high) {
    const int c = map.channels;
    const std::size_t pixels = std::size_t(map.height) * map.width;
    for (std::size_t p = 0; p < pixels; ++p) {
        float* __restrict v = map.data + p * c;
        for (int ch = 0; ch < c; ++ch) v[ch] = std::min(std::max(v[ch] + bias[ch], low), high);
    }
}

VECTOR_LOOP void clamp(Map& map, float low, float high) {
    const std::size_t n = map.size();
    for (std::size_t i = 0; i < n; ++i) map.data[i] = std::min(std::max(map.data[i], low), high);
}

}  // namespace NetworkLayers
