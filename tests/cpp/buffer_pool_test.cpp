// The read-buffer pool: a steady stream of runs, whatever its sizes, is served
// from buffers the pool already holds, within its bound, and nothing is kept
// once its keeping ends.
#include "zandrel/storage/buffer_pool.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <random>

namespace zandrel::storage {
namespace {

constexpr size_t kMiB = size_t{1} << 20;

// Plays a stream of requests against `pool` the way an iterator does: each
// buffer is held while the next `held - 1` are taken, then given back.
// Returns how many buffers the pool mapped after the first half.
template <typename Size>
uint64_t play(BufferPool& pool, size_t held, size_t requests, size_t max_free, Size size_of) {
  std::deque<SharedBuffer> in_use;
  uint64_t mapped_at_half = 0;
  for (size_t i = 0; i < requests; ++i) {
    if (i == requests / 2) mapped_at_half = pool.mapped();
    const size_t size = size_of(i);
    in_use.push_back(pool.acquire(size));
    EXPECT_GE(in_use.back()->capacity(), size);
    if (in_use.size() == held) in_use.pop_front();
    EXPECT_LE(pool.free_count(), max_free);
  }
  return pool.mapped() - mapped_at_half;
}

TEST(BufferPool, SteadyStreamsOfAnySizesMapNothingNew) {
  for (size_t held : {2, 5, 65}) {
    SCOPED_TRACE(held);
    const size_t max_free = 2 * held + 2;
    // Record lengths that creep up a byte at a time (a label gaining digits).
    auto creeping = BufferPool::create(max_free);
    EXPECT_EQ(play(*creeping, held, 4000, max_free, [](size_t i) { return kMiB + 20 + i; }), 0u);
    EXPECT_LE(creeping->mapped(), held + 1);
    // Run sizes spread over a range that spans several classes.
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> spread(kMiB / 2, kMiB + kMiB / 4);
    auto varied = BufferPool::create(max_free);
    EXPECT_EQ(play(*varied, held, 4000, max_free, [&](size_t) { return spread(random); }), 0u);
    // Sizes that move to a class of their own: the old class leaves the
    // free list, and the new one circulates.
    auto moving = BufferPool::create(max_free);
    EXPECT_EQ(play(*moving, held, 4000, max_free,
                   [](size_t i) { return i < 1000 ? kMiB : 3 * kMiB; }),
              0u);
  }
}

TEST(BufferPool, ReleasedPoolKeepsNothing) {
  auto pool = BufferPool::create(4);
  SharedBuffer kept = pool->acquire(kMiB);
  pool->acquire(kMiB);  // given back at once
  EXPECT_EQ(pool->free_count(), 1u);
  pool->release_free();
  EXPECT_EQ(pool->free_count(), 0u);
  kept.reset();  // unmapped on return, not kept
  EXPECT_EQ(pool->free_count(), 0u);
  // Small requests are plain allocations, never pooled.
  pool = BufferPool::create(4);
  pool->acquire(100);
  EXPECT_EQ(pool->mapped(), 0u);
  EXPECT_EQ(pool->free_count(), 0u);
}

TEST(BufferPool, ClassesRoundToAQuarterOfThePowerOfTwo) {
  EXPECT_EQ(buffer_class(1), 4096u);
  EXPECT_EQ(buffer_class(kMiB), kMiB);
  EXPECT_EQ(buffer_class(kMiB + 1), kMiB + kMiB / 4);
  EXPECT_EQ(buffer_class(kMiB + kMiB / 4 + 1), kMiB + kMiB / 2);
  EXPECT_EQ(buffer_class(3 * kMiB - 1), 3 * kMiB);
  EXPECT_EQ(buffer_class(5000), 8192u);
}

}  // namespace
}  // namespace zandrel::storage
