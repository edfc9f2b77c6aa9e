#pragma once
// Recycled pixel memory for pictures.
//
// Every imaging operation returns a fresh picture, and on a 2048-pixel render
// each one is tens of megabytes. Taking such a block from the system maps new
// zero pages (one fault per page) and giving it back unmaps them again, which
// costs more than the per-pixel work. The pool keeps a few recently freed
// blocks, keyed by their exact size, and hands them out again to the next
// picture of the same size.
//
// - Only blocks of at least `minimumBytes` are pooled; smaller ones go
//   straight to the system allocator.
// - The blocks kept idle never add up to more than `limitBytes`; storing one
//   more evicts the oldest idle blocks first.
// - Thread safe: its mutex is held only around a lookup or a store.
// - Recycled blocks are not cleared: only code that sets every pixel uses
//   them (as with any freshly allocated cv::Mat).

#include <cstddef>

#include <opencv2/core.hpp>

namespace Imaging {

class PixelPool final : public cv::MatAllocator {
public:
    static constexpr std::size_t minimumBytes = std::size_t(1) << 20;

    explicit PixelPool(std::size_t limitBytes);
    ~PixelPool() override;

    // The pool every Image allocates from; it lives until the process ends.
    static PixelPool& shared();

    // Bytes held idle in the pool right now, and the bound on them.
    std::size_t idleBytes() const;
    std::size_t limitBytes() const { return limit_; }

    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, std::size_t* step,
                           cv::AccessFlag flags, cv::UMatUsageFlags usage) const override;
    bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override;
    void deallocate(cv::UMatData* data) const override;

private:
    struct State;
    std::size_t limit_;
    State* state_;
};

// An empty matrix whose next create() takes its pixels from the shared pool
// (for OpenCV calls that allocate their output).
cv::Mat pooledMat();

}  // namespace Imaging
