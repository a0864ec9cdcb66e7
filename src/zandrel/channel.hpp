// A bounded multi-producer multi-consumer channel: one mutex, a fixed ring of
// `capacity` slots allocated once, and two condition variables ("not empty"
// for receivers, "not full" for senders).
//
//   auto [tx, rx] = make_bounded_channel<int>(4);
//   tx.send(1);            // blocks while 4 values are queued
//   rx.recv();             // blocks while empty; nullopt once drained and closed
//
// Disconnection works like crossbeam-channel's:
// - When the last Sender is released, receivers still drain what is queued;
//   after that recv() fails instead of blocking.
// - When the last Receiver is released, queued values are dropped at once and
//   every send() fails, handing its value back.
//
// Sender and Receiver are cheap handles of one shared channel; copies may be
// used from any number of threads at once. A handle itself is not
// synchronised: do not assign to one handle from two threads. A default-made or
// moved-from handle belongs to no channel: send fails and recv reports
// disconnection.
#pragma once

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

namespace zandrel {

// A failed send: no receiver is left. Carries the value back to the caller.
template <typename T>
struct SendError {
  T value;
};

enum class RecvTimeoutError { kTimeout, kDisconnected };
enum class TryRecvError { kEmpty, kDisconnected };

namespace channel_detail {

// Fixed-capacity FIFO of T in raw storage; slots hold live values only
// between head and head + count (mod capacity). Not synchronised.
template <typename T>
class Ring {
 public:
  Ring() = default;
  explicit Ring(size_t capacity)
      : slots_(std::allocator<T>().allocate(capacity)), capacity_(capacity) {}
  Ring(Ring&& other) noexcept
      : slots_(std::exchange(other.slots_, nullptr)),
        capacity_(std::exchange(other.capacity_, 0)),
        head_(std::exchange(other.head_, 0)),
        count_(std::exchange(other.count_, 0)) {}
  Ring& operator=(Ring&& other) noexcept {
    if (this != &other) {
      release();
      slots_ = std::exchange(other.slots_, nullptr);
      capacity_ = std::exchange(other.capacity_, 0);
      head_ = std::exchange(other.head_, 0);
      count_ = std::exchange(other.count_, 0);
    }
    return *this;
  }
  ~Ring() { release(); }

  bool empty() const { return count_ == 0; }
  bool full() const { return count_ == capacity_; }

  // REQUIRES: !full().
  void push(T value) {
    assert(!full());
    size_t tail = head_ + count_;
    if (tail >= capacity_) tail -= capacity_;
    ::new (static_cast<void*>(slots_ + tail)) T(std::move(value));
    ++count_;
  }

  // REQUIRES: !empty().
  T pop() {
    assert(!empty());
    T value = std::move(slots_[head_]);
    slots_[head_].~T();
    head_ = head_ + 1 == capacity_ ? 0 : head_ + 1;
    --count_;
    return value;
  }

 private:
  void release() {
    while (!empty()) (void)pop();
    if (slots_ != nullptr) std::allocator<T>().deallocate(slots_, capacity_);
    slots_ = nullptr;
    capacity_ = 0;
  }

  T* slots_ = nullptr;
  size_t capacity_ = 0;
  size_t head_ = 0;   // slot of the oldest value
  size_t count_ = 0;  // live values
};

template <typename T>
struct State {
  explicit State(size_t capacity) : ring(capacity) {}

  std::mutex mutex;
  std::condition_variable not_empty;  // receivers wait here
  std::condition_variable not_full;   // senders wait here
  Ring<T> ring;            // guarded by mutex; emptied for good once receivers == 0
  size_t senders = 1;      // guarded by mutex; live Sender handles
  size_t receivers = 1;    // guarded by mutex; live Receiver handles
};

}  // namespace channel_detail

template <typename T>
class Receiver;

template <typename T>
class Sender {
 public:
  Sender() = default;
  Sender(const Sender& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->senders;
    }
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(const Sender& other) {
    if (this != &other) *this = Sender(other);
    return *this;
  }
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Sender() { release(); }

  // Queues `value`, blocking while the channel is full. Fails, handing the
  // value back, when no receiver is left (also when one goes while waiting).
  std::expected<void, SendError<T>> send(T value) const {
    if (!state_) return std::unexpected(SendError<T>{std::move(value)});
    {
      std::unique_lock lock(state_->mutex);
      state_->not_full.wait(lock, [&] { return state_->receivers == 0 || !state_->ring.full(); });
      if (state_->receivers == 0) return std::unexpected(SendError<T>{std::move(value)});
      state_->ring.push(std::move(value));
    }
    state_->not_empty.notify_one();
    return {};
  }

 private:
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(size_t capacity);

  explicit Sender(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  void release() {
    if (!state_) return;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->senders == 0;
    }
    // Waiting receivers must see the disconnection.
    if (last) state_->not_empty.notify_all();
    state_.reset();
  }

  std::shared_ptr<channel_detail::State<T>> state_;
};

template <typename T>
class Receiver {
 public:
  Receiver() = default;
  Receiver(const Receiver& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++state_->receivers;
    }
  }
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(const Receiver& other) {
    if (this != &other) *this = Receiver(other);
    return *this;
  }
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Receiver() { release(); }

  // The oldest queued value, blocking while the channel is empty; nullopt
  // once it is empty and no sender is left.
  std::optional<T> recv() const {
    if (!state_) return std::nullopt;
    std::unique_lock lock(state_->mutex);
    state_->not_empty.wait(lock, [&] { return state_->senders == 0 || !state_->ring.empty(); });
    return take(lock);
  }

  // As recv(), waiting at most `timeout`. kDisconnected only when the channel
  // is empty and no sender is left; an empty channel with senders gives
  // kTimeout.
  template <typename Rep, typename Period>
  std::expected<T, RecvTimeoutError> recv_timeout(std::chrono::duration<Rep, Period> timeout) const {
    if (!state_) return std::unexpected(RecvTimeoutError::kDisconnected);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(state_->mutex);
    bool ready = state_->not_empty.wait_until(
        lock, deadline, [&] { return state_->senders == 0 || !state_->ring.empty(); });
    if (!ready) return std::unexpected(RecvTimeoutError::kTimeout);
    std::optional<T> value = take(lock);
    if (!value) return std::unexpected(RecvTimeoutError::kDisconnected);
    return std::move(*value);
  }

  // The oldest queued value without waiting.
  std::expected<T, TryRecvError> try_recv() const {
    if (!state_) return std::unexpected(TryRecvError::kDisconnected);
    std::unique_lock lock(state_->mutex);
    if (state_->ring.empty()) {
      return std::unexpected(state_->senders == 0 ? TryRecvError::kDisconnected
                                                  : TryRecvError::kEmpty);
    }
    return std::move(*take(lock));
  }

 private:
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(size_t capacity);

  explicit Receiver(std::shared_ptr<channel_detail::State<T>> state) : state_(std::move(state)) {}

  // Pops the oldest value (nullopt when empty) and wakes one waiting sender.
  // Unlocks `lock`.
  std::optional<T> take(std::unique_lock<std::mutex>& lock) const {
    if (state_->ring.empty()) return std::nullopt;
    T value = state_->ring.pop();
    lock.unlock();
    state_->not_full.notify_one();
    return value;
  }

  void release() {
    if (!state_) return;
    channel_detail::Ring<T> dropped;
    bool last;
    {
      std::lock_guard lock(state_->mutex);
      last = --state_->receivers == 0;
      // Nobody can receive these any more. They are destroyed below, outside
      // the lock, since a value's destructor may release handles of its own.
      if (last) dropped = std::move(state_->ring);
    }
    // Waiting senders must see the disconnection.
    if (last) state_->not_full.notify_all();
    state_.reset();
  }

  std::shared_ptr<channel_detail::State<T>> state_;
};

// A new channel holding at most `capacity` queued values (a capacity of 0 is
// taken as 1), with one Sender and one Receiver. Throws std::bad_alloc when
// the ring cannot be allocated.
template <typename T>
std::pair<Sender<T>, Receiver<T>> make_bounded_channel(size_t capacity) {
  auto state = std::make_shared<channel_detail::State<T>>(capacity == 0 ? 1 : capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace zandrel
