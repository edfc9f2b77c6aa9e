// Saturation and vibrance as a develop stage: each active slider's chroma
// row in turn, saturation first. Every row is one trip to OKLab and back,
// as `apply` takes it; a picture row passes through all of them at once.

#include <vector>

#include "engine/develop/colormix.h"
#include "engine/develop/stage_kernels.h"
#include "engine/imaging/vector_loop.h"

namespace ChromaSliders {

namespace {

VECTOR_LOOP void adjustRow(float* __restrict L, float* __restrict a, float* __restrict b, const Row& chromaRow, int count) {
    const Row row = chromaRow;  // a local copy: the loop reads no memory but the pixels
#pragma omp simd
    for (int col = 0; col < count; ++col) {
        const OKLab::Lab lab = adjust({L[col], a[col], b[col]}, row);
        L[col] = lab.L;
        a[col] = lab.a;
        b[col] = lab.b;
    }
}

}  // namespace

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    const std::vector<Row> chain = rows(look);
    if (chain.empty() || image.empty()) return std::nullopt;
    Imaging::Image out(image.extent());
    const int w = image.width();
    Imaging::forRows(image.height(), [&](int begin, int end) {
        std::vector<float> L(static_cast<std::size_t>(w)), a(L.size()), b(L.size());
        for (int r = begin; r < end; ++r) {
            const Imaging::Pixel* in = image.mat().ptr<Imaging::Pixel>(r);
            Imaging::Pixel* o = out.mutableMat().ptr<Imaging::Pixel>(r);
            for (const Row& row : chain) {
                OKLab::fromSRGBRow(in, L.data(), a.data(), b.data(), w);
                adjustRow(L.data(), a.data(), b.data(), row, w);
                OKLab::screenRow(L.data(), a.data(), b.data(), in, o, w);
                in = o;  // the next row reads this one's result
            }
        }
    });
    return out;
}

}  // namespace ChromaSliders
