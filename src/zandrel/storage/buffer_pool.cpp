#include "zandrel/storage/buffer_pool.hpp"

#include <sys/mman.h>

#include <algorithm>
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

SharedBuffer BufferPool::acquire(size_t size) {
  if (size < kMinPooledBytes) return std::make_shared<ByteBuffer>(size);
  ByteBuffer buffer;
  {
    std::lock_guard lock(mutex_);
    // The smallest free buffer that fits without wasting more than half.
    auto best = free_.end();
    for (auto it = free_.begin(); it != free_.end(); ++it) {
      if (it->capacity() >= size && it->capacity() / 2 <= size &&
          (best == free_.end() || it->capacity() < best->capacity())) {
        best = it;
      }
    }
    if (best != free_.end()) {
      buffer = std::move(*best);
      *best = std::move(free_.back());
      free_.pop_back();
    }
  }
  if (buffer.capacity() == 0) buffer = ByteBuffer(size);
  // The deleter keeps the pool alive until the buffer is back.
  return SharedBuffer(new ByteBuffer(std::move(buffer)),
                      [pool = shared_from_this()](ByteBuffer* released) {
                        pool->give_back(std::move(*released));
                        delete released;
                      });
}

void BufferPool::give_back(ByteBuffer buffer) {
  std::lock_guard lock(mutex_);
  if (free_.size() < max_free_) free_.push_back(std::move(buffer));
  // Otherwise `buffer` is released on return, after the lock.
}

SharedBuffer acquire_buffer(BufferPool* pool, size_t size) {
  return pool ? pool->acquire(size) : std::make_shared<ByteBuffer>(size);
}

// ---------------------------------------------------------------------------
// SampleData

bool operator==(const SampleData& a, std::span<const uint8_t> b) {
  return a.size() == b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
}

}  // namespace zandrel::storage
