#pragma once
// VECTOR_LOOP marks a function whose loops are written to vectorise: on
// x86-64 it is compiled twice, for AVX2 and for the baseline, and the loader
// picks the variant the processor runs. It is the engine's one such macro
// (the pixel stages and the face and landmark networks alike). FMA stays
// off: both variants round alike, so a picture, and the faces found in it,
// come out with the same bits on every machine. (The AVX2 variant is "avx2",
// not "arch=x86-64-v3": the latter enables FMA, and GCC contracts a × b + c
// into one rounding wherever FMA is enabled.)
// Functions it calls should be inline so that they are compiled into each
// variant. Their loops over pixels carry `#pragma omp simd` (the build
// enables only that part of OpenMP): it tells the compiler that pixels do
// not depend on one another and lets it turn branches into selects.

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__)
#define VECTOR_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define VECTOR_LOOP
#endif
