// Recycled pixel memory: blocks come back for pictures of the same size, and
// the idle blocks stay within the pool's bound.

#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/imaging/image.h"
#include "engine/imaging/pixel_pool.h"

using Imaging::PixelPool;

namespace {

// A float RGBA matrix of `rows` × 256 pixels (4 KiB a row) from `pool`.
cv::Mat pooled(PixelPool& pool, int rows) {
    cv::Mat mat;
    mat.allocator = &pool;
    mat.create(rows, 256, CV_32FC4);
    return mat;
}

}  // namespace

TEST(PixelPool, ReusesFreedBlocksOfTheSameSizeWithinItsBound) {
    PixelPool pool(std::size_t(5) << 20);
    cv::Mat a = pooled(pool, 512);  // 2 MiB
    const uchar* block = a.data;
    cv::Mat shared = a;  // a second reference keeps the block in use
    a.release();
    EXPECT_EQ(pool.idleBytes(), 0u);
    shared.release();
    EXPECT_EQ(pool.idleBytes(), std::size_t(2) << 20);

    cv::Mat other = pooled(pool, 768);  // 3 MiB: a different size gets its own block
    EXPECT_NE(other.data, block);
    cv::Mat again = pooled(pool, 512);
    EXPECT_EQ(again.data, block) << "the freed 2 MiB block comes back";
    EXPECT_EQ(pool.idleBytes(), 0u);

    // Freeing 2 + 3 + 3 MiB into a 5 MiB pool keeps only the newest that fit.
    cv::Mat third = pooled(pool, 768);
    again.release(), other.release(), third.release();
    EXPECT_LE(pool.idleBytes(), pool.limitBytes());
    EXPECT_EQ(pool.idleBytes(), std::size_t(3) << 20);

    // Small blocks, blocks larger than the bound and user memory are never kept.
    pooled(pool, 16).release();
    pooled(pool, 2048).release();  // 8 MiB
    std::vector<float> user(256 * 512 * 4);
    cv::Mat wrapped(512, 256, CV_32FC4, user.data());
    wrapped.release();
    EXPECT_EQ(pool.idleBytes(), std::size_t(3) << 20);
}

TEST(PixelPool, PicturesOfOneSizeShareRecycledMemoryAcrossThreads) {
    const Imaging::Rect extent{0, 0, 640, 480};
    const uchar* first = nullptr;
    {
        const Imaging::Image image(extent);
        first = image.mat().data;
    }
    const Imaging::Image next = Imaging::Image::filled(extent, {0.25f, 0.5f, 0.75f, 1});
    EXPECT_EQ(next.mat().data, first);
    EXPECT_EQ(next.at(639, 479).b, 0.75f);

    // Operations from several threads at once: every result is complete and
    // no two live pictures share a block.
    std::vector<std::thread> threads;
    std::vector<Imaging::Image> results(4);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) results[std::size_t(t)] = Imaging::exposure(next, double(t));
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_FLOAT_EQ(results[std::size_t(t)].at(10, 10).r, 0.25f * float(1 << t));
        for (int u = 0; u < t; ++u) EXPECT_NE(results[std::size_t(t)].mat().data, results[std::size_t(u)].mat().data);
    }
    EXPECT_LE(PixelPool::shared().idleBytes(), PixelPool::shared().limitBytes());
}
