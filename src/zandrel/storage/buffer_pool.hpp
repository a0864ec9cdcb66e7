// Buffers that sample payloads are read into, and the views that samples keep
// of them.
//
// A worker reads a whole run of records into one buffer; each sample of the
// run keeps a SampleData view of its own payload inside it, and the buffer
// lives until the last such view is released (by the host thread, once it has
// copied the payload out). Large buffers are mapped directly from the system
// rather than taken from malloc: memory freed on another thread than the one
// that allocated it stays cached in that thread's malloc arena, and with many
// workers that cache grew by a gigabyte over an epoch of large samples. A
// fresh mapping costs a page fault and a zero-filled page per 4 KiB touched,
// so a BufferPool keeps released buffers for reuse by size class; everything
// it holds is unmapped when the pool goes or its keeping ends.
//
// Threads: a BufferPool may be used from any number of threads at once
// (shared through std::shared_ptr). SampleData is an immutable value; copies
// may be released on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace zandrel::storage {

// One block of writable bytes: mapped directly when at least
// kDirectMapBytes, else from operator new. Move-only.
class ByteBuffer {
 public:
  static constexpr size_t kDirectMapBytes = 128 * 1024;

  ByteBuffer() = default;
  // Throws std::bad_alloc when the memory cannot be had. Not zero-filled.
  explicit ByteBuffer(size_t capacity);
  ByteBuffer(ByteBuffer&& other) noexcept;
  ByteBuffer& operator=(ByteBuffer&& other) noexcept;
  ~ByteBuffer();

  uint8_t* data() const { return data_; }
  size_t capacity() const { return capacity_; }

 private:
  void release();

  uint8_t* data_ = nullptr;
  size_t capacity_ = 0;
  bool mapped_ = false;
};

// A buffer in shared use: released (or handed back to its pool) when the
// last holder lets go.
using SharedBuffer = std::shared_ptr<ByteBuffer>;

// The capacity a pooled buffer of at least `size` bytes gets: `size` rounded
// up to a quarter of its power of two (2^k < size <= 2^(k+1) rounds up to a
// multiple of 2^(k-2)), and to whole pages. Nearby sizes so share a class and
// so share buffers, at a cost of at most a quarter of a buffer left unused.
size_t buffer_class(size_t size);

// Read buffers kept for reuse, so that a steady stream of runs maps no new
// memory and touches no new pages, whatever the sizes and order of the runs.
//
// A request of at least kMinPooledBytes is rounded up to its class and takes
// the smallest free buffer that holds it and is no more than twice its class
// (ties: the most recently returned); only when none is free is a new buffer
// mapped. A returned buffer always joins the free list: when that makes it
// longer than `max_free`, the least recently returned buffer is unmapped
// instead, so buffers of classes the stream has moved away from leave first.
// Hence the pool never holds more than the buffers in use at its busiest
// moment plus `max_free` free ones, and maps nothing once the stream's
// classes are all in circulation.
//
// release_free() ends the pool's keeping: every free buffer is unmapped at
// once, and buffers returned later are unmapped as they come back.
//
// Buffers it hands out hold a reference to the pool, so the pool lives until
// the last of them is released.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  static constexpr size_t kMinPooledBytes = ByteBuffer::kDirectMapBytes;

  static std::shared_ptr<BufferPool> create(size_t max_free) {
    return std::shared_ptr<BufferPool>(new BufferPool(max_free));
  }

  // A buffer of at least `size` bytes (see above). Small requests are plain
  // allocations, not pooled. Throws std::bad_alloc.
  SharedBuffer acquire(size_t size);

  // Unmaps every free buffer and every buffer returned from now on.
  void release_free();

  // Buffers mapped by this pool so far, and buffers free now.
  uint64_t mapped() const;
  size_t free_count() const;

 private:
  explicit BufferPool(size_t max_free) : max_free_(max_free) {}
  void give_back(ByteBuffer buffer);

  const size_t max_free_;
  mutable std::mutex mutex_;
  std::vector<ByteBuffer> free_;  // guarded by mutex_; least recently returned first
  bool keeping_ = true;           // guarded by mutex_; false once release_free() ran
  uint64_t mapped_ = 0;           // guarded by mutex_
};

// The payload of one loaded sample: `size` bytes inside a buffer that it
// shares with the other samples of its run.
class SampleData {
 public:
  SampleData() = default;
  SampleData(SharedBuffer buffer, size_t offset, size_t size)
      : buffer_(std::move(buffer)), offset_(offset), size_(size) {}

  const uint8_t* data() const { return buffer_ ? buffer_->data() + offset_ : nullptr; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<const uint8_t> span() const { return {data(), size_}; }
  // Bytes [offset, offset + size) of this view, sharing its buffer.
  SampleData slice(size_t offset, size_t size) const {
    return SampleData(buffer_, offset_ + offset, size);
  }

  friend bool operator==(const SampleData& a, std::span<const uint8_t> b);
  friend bool operator==(const SampleData& a, const std::vector<uint8_t>& b) {
    return a == std::span<const uint8_t>(b);
  }

 private:
  SharedBuffer buffer_;
  size_t offset_ = 0;
  size_t size_ = 0;
};

}  // namespace zandrel::storage
