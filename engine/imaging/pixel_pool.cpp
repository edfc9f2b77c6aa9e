#include "engine/imaging/pixel_pool.h"

#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>

#include <sys/mman.h>

namespace Imaging {

namespace {

// OpenCV's marker for "no step given" (CV_AUTOSTEP of its C interface).
constexpr std::size_t autoStep = 0x7fffffff;

// Large blocks are aligned to and asked for in huge pages, where the system
// offers them: one fault maps 2 MiB instead of 4 KiB.
constexpr std::size_t hugePage = std::size_t(2) << 20;

void* allocateLarge(std::size_t bytes) {
    const std::size_t rounded = (bytes + hugePage - 1) / hugePage * hugePage;
    void* data = nullptr;
    if (::posix_memalign(&data, hugePage, rounded) != 0) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(data, rounded, MADV_HUGEPAGE);
#endif
    return data;
}

// Frees a block of `bytes` from allocate().
void release(void* data, std::size_t bytes) {
    if (bytes >= PixelPool::minimumBytes) std::free(data);
    else cv::fastFree(data);
}

struct Block {
    void* data;
    std::size_t bytes;
};

}  // namespace

struct PixelPool::State {
    std::mutex mutex;
    std::deque<Block> idle;  // oldest first
    std::size_t idleBytes = 0;
};

PixelPool::PixelPool(std::size_t limitBytes) : limit_(limitBytes), state_(new State) {}

PixelPool::~PixelPool() {
    for (const Block& block : state_->idle) release(block.data, block.bytes);
    delete state_;
}

PixelPool& PixelPool::shared() {
    // Never destroyed: pictures held by static caches are freed after any
    // static destructor would have run.
    static PixelPool* pool = new PixelPool(std::size_t(256) << 20);
    return *pool;
}

std::size_t PixelPool::idleBytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->idleBytes;
}

cv::UMatData* PixelPool::allocate(int dims, const int* sizes, int type, void* data0, std::size_t* step,
                                  cv::AccessFlag, cv::UMatUsageFlags) const {
    // Continuous layout, as OpenCV's own allocator makes it.
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
        if (step) {
            if (data0 && step[i] != autoStep) {
                CV_Assert(total <= step[i]);
                total = step[i];
            } else {
                step[i] = total;
            }
        }
        total *= std::size_t(sizes[i]);
    }
    void* data = data0;
    if (!data && total >= minimumBytes) {
        std::lock_guard lock(state_->mutex);
        for (auto it = state_->idle.rbegin(); it != state_->idle.rend(); ++it) {
            if (it->bytes != total) continue;
            data = it->data;
            state_->idleBytes -= total;
            state_->idle.erase(std::next(it).base());
            break;
        }
    }
    if (!data) data = total >= minimumBytes ? allocateLarge(total) : cv::fastMalloc(total);
    auto* u = new cv::UMatData(this);
    u->data = u->origdata = static_cast<uchar*>(data);
    u->size = total;
    if (data0) u->flags |= cv::UMatData::USER_ALLOCATED;
    return u;
}

bool PixelPool::allocate(cv::UMatData* data, cv::AccessFlag, cv::UMatUsageFlags) const { return data != nullptr; }

void PixelPool::deallocate(cv::UMatData* u) const {
    if (!u) return;
    CV_Assert(u->urefcount == 0 && u->refcount == 0);
    if (!(u->flags & cv::UMatData::USER_ALLOCATED) && u->origdata) {
        void* data = u->origdata;
        const std::size_t bytes = u->size;
        std::deque<Block> evicted;
        if (bytes >= minimumBytes && bytes <= limit_) {
            std::lock_guard lock(state_->mutex);
            while (!state_->idle.empty() && state_->idleBytes + bytes > limit_) {
                evicted.push_back(state_->idle.front());
                state_->idleBytes -= state_->idle.front().bytes;
                state_->idle.pop_front();
            }
            state_->idle.push_back({data, bytes});
            state_->idleBytes += bytes;
            data = nullptr;
        }
        // Memory goes back to the system outside the lock.
        for (const Block& block : evicted) release(block.data, block.bytes);
        if (data) release(data, bytes);
        u->origdata = nullptr;
    }
    delete u;
}

cv::Mat pooledMat() {
    cv::Mat mat;
    mat.allocator = &PixelPool::shared();
    return mat;
}

}  // namespace Imaging
