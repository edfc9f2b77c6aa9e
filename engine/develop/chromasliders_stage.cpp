// Saturation and vibrance as a develop stage: each active slider's chroma
// row in turn, saturation first. `apply` takes every row as one trip to
// OKLab and back; a picture row makes one trip for all of them, and between
// rows only the colours the trip back would clip are settled.

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

void adjustRows(const std::vector<Row>& chain, float* L, float* a, float* b, int count) {
    for (std::size_t i = 0; i < chain.size(); ++i) {
        if (i > 0) OKLab::settleRow(L, a, b, count);  // as the trip back to pixels between rows leaves them
        adjustRow(L, a, b, chain[i], count);
    }
}

std::optional<Imaging::Image> filter(const Develop::Look& look, const Imaging::Image& image) {
    const std::vector<Row> chain = rows(look);
    if (chain.empty() || image.empty()) return std::nullopt;
    return Develop::mapLabRows(image, [&chain](float* L, float* a, float* b, int count) { adjustRows(chain, L, a, b, count); });
}

}  // namespace ChromaSliders
