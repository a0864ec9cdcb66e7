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
// Waiting receivers: a receive that finds the channel empty first spins for at
// most kReceiveSpin, watching an atomic hint, and only then sleeps on the
// condition variable. A value that arrives within microseconds (a worker
// answering the calling thread, a submitter feeding a worker that has just
// finished a job) is so taken without a futex wait, a wake-up and two context
// switches. A receiver that loses a value to another receiver spins on while
// its time lasts. A sender wakes a sleeping receiver only when the receivers
// spinning at that moment cannot take every queued value. Values still leave
// strictly in the order they were queued.
//
// Sender and Receiver are cheap handles of one shared channel; copies may be
// used from any number of threads at once. A handle itself is not
// synchronised: do not assign to one handle from two threads. A default-made or
// moved-from handle belongs to no channel: send fails and recv reports
// disconnection.
#pragma once

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <expected>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
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

using Clock = std::chrono::steady_clock;

// How long an empty receive spins before it sleeps: long enough to cover a
// worker reading a small sample from the page cache, short enough that an
// idle thread is asleep after a few microseconds.
constexpr std::chrono::nanoseconds kReceiveSpin = std::chrono::microseconds(10);
// The spin first pauses the core this many times (about the latency of a
// handoff between cores), then yields it, so that a thread sharing the core,
// on a busy machine possibly the sender itself, can run.
constexpr unsigned kSpinPauses = 64;

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

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

  size_t size() const { return count_; }
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

  // REQUIRES: mutex held. A receive would not block.
  bool receivable() const { return !ring.empty() || senders == 0; }
  // REQUIRES: mutex held. Refreshes the hint after the ring or senders changed.
  // The hint is read without the mutex only to end a spin early; the receiver
  // then checks receivable() under the mutex, so relaxed ordering suffices.
  void publish() { ready.store(receivable(), std::memory_order_relaxed); }

  // Receivers wait here for receivable(), counted in sleeping_receivers.
  template <typename Wait>
  bool wait_receivable(std::unique_lock<std::mutex>& lock, Wait wait) {
    while (!receivable()) {
      ++sleeping_receivers;
      bool woken = wait(lock);
      --sleeping_receivers;
      if (!woken) return receivable();
    }
    return true;
  }

  // Spins for at most kReceiveSpin (ending at `deadline` at the latest) while
  // nothing is receivable, then returns the mutex held. A receiver that finds
  // the value taken by another receiver spins again while its time lasts
  // rather than going to sleep, so a burst of values to several receivers
  // does not leave all but one of them asleep.
  std::unique_lock<std::mutex> lock_after_spin(Clock::time_point deadline) {
    if (ready.load(std::memory_order_relaxed)) {
      std::unique_lock lock(mutex);
      if (receivable()) return lock;
    }
    const Clock::time_point limit = std::min(Clock::now() + kReceiveSpin, deadline);
    for (;;) {
      spin_until_receivable(limit);
      std::unique_lock lock(mutex);
      if (receivable() || Clock::now() >= limit) return lock;
    }
  }

  // Spins while nothing is receivable, until `limit`. Counted in
  // spinning_receivers meanwhile: a receiver counted there checks the ring
  // under the mutex after its spin.
  void spin_until_receivable(Clock::time_point limit) {
    if (ready.load(std::memory_order_relaxed)) return;
    spinning_receivers.fetch_add(1, std::memory_order_relaxed);
    for (unsigned i = 0; !ready.load(std::memory_order_relaxed); ++i) {
      if (i < kSpinPauses) {
        cpu_relax();
      } else {
        if (Clock::now() >= limit) break;
        std::this_thread::yield();
      }
    }
    spinning_receivers.fetch_sub(1, std::memory_order_relaxed);
  }

  std::mutex mutex;
  std::condition_variable not_empty;  // receivers wait here
  std::condition_variable not_full;   // senders wait here
  Ring<T> ring;                  // guarded by mutex; emptied for good once receivers == 0
  size_t senders = 1;            // guarded by mutex; live Sender handles
  size_t receivers = 1;          // guarded by mutex; live Receiver handles
  size_t sleeping_receivers = 0; // guarded by mutex; receivers blocked on not_empty
  std::atomic<size_t> spinning_receivers = 0;  // receivers in spin_until_receivable
  std::atomic<bool> ready = false;             // receivable() as of the last publish()
};

// What a Sender or Receiver handle does when it is copied or released.
struct SenderSide {
  template <typename T>
  static size_t& count(State<T>& state) { return state.senders; }
  template <typename T>
  static void release(State<T>& state) {
    {
      std::lock_guard lock(state.mutex);
      if (--state.senders != 0) return;
      state.publish();
    }
    // Waiting receivers must see the disconnection.
    state.not_empty.notify_all();
  }
};

struct ReceiverSide {
  template <typename T>
  static size_t& count(State<T>& state) { return state.receivers; }
  template <typename T>
  static void release(State<T>& state) {
    // Nobody can receive queued values once the last receiver goes. They are
    // destroyed after the lock is released, since a value's destructor may
    // release handles of its own.
    Ring<T> dropped;
    {
      std::lock_guard lock(state.mutex);
      if (--state.receivers != 0) return;
      dropped = std::move(state.ring);
    }
    // Waiting senders must see the disconnection.
    state.not_full.notify_all();
  }
};

// A counted handle of a channel's State: copies join the channel, and the
// release of a side's last handle disconnects that side.
template <typename T, typename Side>
class Handle {
 public:
  Handle() = default;
  Handle(const Handle& other) : state_(other.state_) {
    if (state_) {
      std::lock_guard lock(state_->mutex);
      ++Side::count(*state_);
    }
  }
  Handle(Handle&& other) noexcept = default;
  Handle& operator=(const Handle& other) {
    if (this != &other) *this = Handle(other);
    return *this;
  }
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) {
      release();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  ~Handle() { release(); }

 protected:
  explicit Handle(std::shared_ptr<State<T>> state) : state_(std::move(state)) {}

  std::shared_ptr<State<T>> state_;

 private:
  void release() {
    if (!state_) return;
    Side::release(*state_);
    state_.reset();
  }
};

}  // namespace channel_detail

template <typename T>
class Receiver;

template <typename T>
class Sender : public channel_detail::Handle<T, channel_detail::SenderSide> {
 public:
  Sender() = default;

  // Queues `value`, blocking while the channel is full. Fails, handing the
  // value back, when no receiver is left (also when one goes while waiting).
  std::expected<void, SendError<T>> send(T value) const {
    auto* state = this->state_.get();
    if (!state) return std::unexpected(SendError<T>{std::move(value)});
    bool wake;
    {
      std::unique_lock lock(state->mutex);
      state->not_full.wait(lock, [&] { return state->receivers == 0 || !state->ring.full(); });
      if (state->receivers == 0) return std::unexpected(SendError<T>{std::move(value)});
      state->ring.push(std::move(value));
      state->publish();
      // Receivers still spinning will each take one queued value.
      wake = state->sleeping_receivers > 0 &&
             state->ring.size() > state->spinning_receivers.load(std::memory_order_relaxed);
    }
    if (wake) state->not_empty.notify_one();
    return {};
  }

 private:
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(size_t capacity);

  explicit Sender(std::shared_ptr<channel_detail::State<T>> state)
      : channel_detail::Handle<T, channel_detail::SenderSide>(std::move(state)) {}
};

template <typename T>
class Receiver : public channel_detail::Handle<T, channel_detail::ReceiverSide> {
 public:
  Receiver() = default;

  // The oldest queued value, blocking while the channel is empty; nullopt
  // once it is empty and no sender is left.
  std::optional<T> recv() const {
    auto* state = this->state_.get();
    if (!state) return std::nullopt;
    std::unique_lock lock = state->lock_after_spin(channel_detail::Clock::time_point::max());
    state->wait_receivable(lock, [state](std::unique_lock<std::mutex>& held) {
      state->not_empty.wait(held);
      return true;
    });
    return take(lock);
  }

  // As recv(), waiting at most `timeout`. kDisconnected only when the channel
  // is empty and no sender is left; an empty channel with senders gives
  // kTimeout.
  template <typename Rep, typename Period>
  std::expected<T, RecvTimeoutError> recv_timeout(std::chrono::duration<Rep, Period> timeout) const {
    auto* state = this->state_.get();
    if (!state) return std::unexpected(RecvTimeoutError::kDisconnected);
    const auto deadline = channel_detail::Clock::now() + timeout;
    std::unique_lock lock = state->lock_after_spin(deadline);
    bool ready = state->wait_receivable(lock, [&](std::unique_lock<std::mutex>& held) {
      return state->not_empty.wait_until(held, deadline) == std::cv_status::no_timeout;
    });
    if (!ready) return std::unexpected(RecvTimeoutError::kTimeout);
    std::optional<T> value = take(lock);
    if (!value) return std::unexpected(RecvTimeoutError::kDisconnected);
    return std::move(*value);
  }

  // The oldest queued value without waiting.
  std::expected<T, TryRecvError> try_recv() const {
    auto* state = this->state_.get();
    if (!state) return std::unexpected(TryRecvError::kDisconnected);
    std::unique_lock lock(state->mutex);
    if (state->ring.empty()) {
      return std::unexpected(state->senders == 0 ? TryRecvError::kDisconnected
                                                 : TryRecvError::kEmpty);
    }
    return std::move(*take(lock));
  }

 private:
  template <typename U>
  friend std::pair<Sender<U>, Receiver<U>> make_bounded_channel(size_t capacity);

  explicit Receiver(std::shared_ptr<channel_detail::State<T>> state)
      : channel_detail::Handle<T, channel_detail::ReceiverSide>(std::move(state)) {}

  // Pops the oldest value (nullopt when empty) and wakes one waiting sender.
  // Unlocks `lock`.
  std::optional<T> take(std::unique_lock<std::mutex>& lock) const {
    auto* state = this->state_.get();
    if (state->ring.empty()) return std::nullopt;
    T value = state->ring.pop();
    state->publish();
    lock.unlock();
    state->not_full.notify_one();
    return value;
  }
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
