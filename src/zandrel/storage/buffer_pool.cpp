#include "zandrel/storage/buffer_pool.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace zandrel::storage {

// ---------------------------------------------------------------------------
// ByteBuffer

ByteBuffer::ByteBuffer(size_t capacity) : capacity_(capacity) {
  if (capacity >= kDirectMapBytes) {
    void* p = ::mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    mapped_ = true;
  } else if (capacity > 0) {
    data_ = new uint8_t[capacity];
  }
}

ByteBuffer::ByteBuffer(ByteBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      capacity_(std::exchange(other.capacity_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

ByteBuffer& ByteBuffer::operator=(ByteBuffer&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    capacity_ = std::exchange(other.capacity_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

ByteBuffer::~ByteBuffer() { release(); }

void ByteBuffer::release() {
  if (mapped_) {
    ::munmap(data_, capacity_);
  } else {
    delete[] data_;
  }
  data_ = nullptr;
  capacity_ = 0;
  mapped_ = false;
}

// ---------------------------------------------------------------------------
// BufferPool

namespace {

constexpr size_t kPageBytes = 4096;

size_t round_up(size_t size, size_t step) {
  const size_t rest = size % step;
  return rest == 0 ? size : size + (step - rest);
}

}  // namespace

size_t buffer_class(size_t size) {
  if (size <= kPageBytes) return kPageBytes;
  // 2^k < size <= 2^(k+1); classes step by 2^(k-2), and by at least a page.
  const int k = std::bit_width(size - 1) - 1;
  const size_t step = std::max(size_t{1} << (k - 2), kPageBytes);
  if (size > SIZE_MAX - step) return size;  // cannot be had anyway
  return round_up(size, step);
}

SharedBuffer BufferPool::acquire(size_t size) {
  if (size < kMinPooledBytes) return std::make_shared<ByteBuffer>(size);
  const size_t wanted = buffer_class(size);
  ByteBuffer buffer;
  {
    std::lock_guard lock(mutex_);
    // The smallest free buffer that fits without leaving more than half of
    // it unused; among equals the most recently returned, whose pages are
    // the likeliest to be in cache.
    auto best = free_.rend();
    for (auto it = free_.rbegin(); it != free_.rend(); ++it) {
      const size_t capacity = it->capacity();
      if (capacity >= wanted && capacity / 2 <= wanted &&
          (best == free_.rend() || capacity < best->capacity())) {
        best = it;
      }
    }
    if (best != free_.rend()) {
      buffer = std::move(*best);
      free_.erase(std::next(best).base());
    } else {
      ++mapped_;
    }
  }
  if (buffer.capacity() == 0) buffer = ByteBuffer(wanted);
  // The deleter keeps the pool alive until the buffer is back.
  return SharedBuffer(new ByteBuffer(std::move(buffer)),
                      [pool = shared_from_this()](ByteBuffer* released) {
                        pool->give_back(std::move(*released));
                        delete released;
                      });
}

void BufferPool::give_back(ByteBuffer buffer) {
  ByteBuffer evicted;  // unmapped on return, after the lock
  std::lock_guard lock(mutex_);
  if (!keeping_ || max_free_ == 0) {
    evicted = std::move(buffer);
    return;
  }
  if (free_.size() == max_free_) {
    evicted = std::move(free_.front());
    free_.erase(free_.begin());
  }
  free_.push_back(std::move(buffer));
}

void BufferPool::release_free() {
  std::vector<ByteBuffer> released;  // unmapped on return, after the lock
  std::lock_guard lock(mutex_);
  keeping_ = false;
  released.swap(free_);
}

uint64_t BufferPool::mapped() const {
  std::lock_guard lock(mutex_);
  return mapped_;
}

size_t BufferPool::free_count() const {
  std::lock_guard lock(mutex_);
  return free_.size();
}

// ---------------------------------------------------------------------------
// SampleData

bool operator==(const SampleData& a, std::span<const uint8_t> b) {
  return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
}

}  // namespace zandrel::storage
