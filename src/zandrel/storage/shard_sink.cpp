// The shard sink's hand-off, its jobs and its waits. See shard_sink.hpp.
#include "zandrel/storage/shard_sink.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

#include "zandrel/storage/format.hpp"
#include "zandrel/worker_pool.hpp"

namespace zandrel::storage {

// One handed-off chunk: the gathered bytes, then a large buffer moved in
// whole, if any. Chunk number k lives in slots[k % kShardChunksInFlight] until
// it is written and hashed; only then may chunk k + kShardChunksInFlight take
// the slot. While a slot is in flight its buffers and offset are read by the
// jobs and changed by nobody.
struct ShardSink::State {
  struct Chunk {
    std::vector<uint8_t> bytes;  // a gathering buffer (capacity kShardChunkSize) or empty
    std::vector<uint8_t> tail;   // follows bytes in the file; released once done
    uint64_t offset = 0;         // file offset of the chunk's first byte
    int jobs_left = 0;  // guarded by mutex: 2 (write, hash) when handed off; 0 when free
  };

  explicit State(UniqueFd file) : fd(std::move(file)) {}

  // The write job of `chunk`.
  void write(Chunk& chunk) noexcept;
  // The hash chain: feeds every handed-off chunk not yet hashed to the digest,
  // in file order, until none is left. At most one runs at a time.
  void hash_chain() noexcept;
  // Counts one of `chunk`'s jobs as done, keeping `failure` if it is the
  // first; frees the slot once both are done.
  void job_done(Chunk& chunk, std::optional<CacheError> failure) noexcept;

  UniqueFd fd;     // closed by the owner once nothing is in flight
  Sha256 hasher;   // used by the running hash chain, or by the owner once idle
  std::mutex mutex;
  std::condition_variable slot_freed;  // the owner waits here
  std::array<Chunk, kShardChunksInFlight> slots;
  uint64_t handed_off = 0;  // guarded by mutex: chunks handed off so far
  uint64_t hashed = 0;      // guarded by mutex: chunks taken by the hash chain
  size_t in_flight = 0;     // guarded by mutex: slots with jobs left
  bool hashing = false;     // guarded by mutex: a hash chain is queued or running
  bool dropped = false;     // guarded by mutex: the digest is no longer wanted
  std::optional<CacheError> error;  // guarded by mutex: the first failed write
  std::atomic<bool> failed = false;  // error is set (read without the mutex)
};

void ShardSink::State::write(Chunk& chunk) noexcept {
  std::optional<CacheError> failure;
  try {
    Status written = write_all_at(fd.get(), chunk.offset, chunk.bytes);
    if (written) written = write_all_at(fd.get(), chunk.offset + chunk.bytes.size(), chunk.tail);
    if (!written) failure = std::move(written).error();
  } catch (...) {
    // Only making the error's text can throw (bad_alloc).
    failure = CacheError::worker_failed();
  }
  job_done(chunk, std::move(failure));
}

void ShardSink::State::hash_chain() noexcept {
  for (;;) {
    Chunk* chunk;
    bool wanted;
    {
      std::lock_guard lock(mutex);
      if (hashed == handed_off) {
        hashing = false;
        return;
      }
      chunk = &slots[hashed % kShardChunksInFlight];
      ++hashed;
      wanted = !dropped;
    }
    if (wanted) {
      hasher.update(chunk->bytes);
      hasher.update(chunk->tail);
    }
    job_done(*chunk, std::nullopt);
  }
}

void ShardSink::State::job_done(Chunk& chunk, std::optional<CacheError> failure) noexcept {
  bool freed;
  std::vector<uint8_t> spent_tail;  // released at once, outside the lock
  {
    std::lock_guard lock(mutex);
    if (failure && !error) {
      error = std::move(failure);
      failed.store(true, std::memory_order_release);
    }
    freed = --chunk.jobs_left == 0;
    if (freed) {
      --in_flight;
      spent_tail = std::move(chunk.tail);
    }
  }
  // The caller holds a reference to the state, so it outlives the wake-up.
  if (freed) slot_freed.notify_one();
}

// ---------------------------------------------------------------------------
// ShardSink

ShardSink::ShardSink(std::shared_ptr<State> state, std::shared_ptr<WorkerPool> pool)
    : state_(std::move(state)), pool_(std::move(pool)) {}

Result<ShardSink> ShardSink::create(const std::filesystem::path& path,
                                    std::shared_ptr<WorkerPool> pool) {
  ZR_ASSIGN_OR_RETURN(UniqueFd fd, create_truncated(path));
  return ShardSink(std::make_shared<State>(std::move(fd)), std::move(pool));
}

ShardSink& ShardSink::operator=(ShardSink&& other) noexcept {
  if (this != &other) {
    drop();
    state_ = std::move(other.state_);
    pool_ = std::move(other.pool_);
    pending_ = std::move(other.pending_);
    pending_offset_ = other.pending_offset_;
  }
  return *this;
}

ShardSink::~ShardSink() { drop(); }

Status ShardSink::first_error() const {
  if (!state_->failed.load(std::memory_order_acquire)) return {};
  std::lock_guard lock(state_->mutex);
  return Err(*state_->error);
}

template <typename Work>
void ShardSink::dispatch(const Work& work) const {
  // A pool without workers refuses the job; the work is then done here.
  if (pool_ && pool_->run_detached(work)) return;
  work();
}

void ShardSink::hand_off(std::vector<uint8_t> tail) {
  State& state = *state_;
  const uint64_t len = pending_.size() + tail.size();
  State::Chunk* slot;
  bool start_chain;
  {
    std::unique_lock lock(state.mutex);
    slot = &state.slots[state.handed_off % kShardChunksInFlight];
    state.slot_freed.wait(lock, [slot] { return slot->jobs_left == 0; });
    // The slot's spent gathering buffer comes back for reuse; its tail was
    // released when it was done.
    std::swap(slot->bytes, pending_);
    slot->tail = std::move(tail);
    slot->offset = pending_offset_;
    slot->jobs_left = 2;
    ++state.in_flight;
    ++state.handed_off;
    start_chain = !state.hashing;
    state.hashing = true;
  }
  pending_.clear();
  pending_offset_ += len;
  // The digest is the serial part, so its chain goes first.
  if (start_chain) dispatch([state = state_]() noexcept { state->hash_chain(); });
  dispatch([state = state_, slot]() noexcept { state->write(*slot); });
}

Status ShardSink::append(std::span<const uint8_t> bytes) {
  ZR_RETURN_IF_ERROR(first_error());
  while (!bytes.empty()) {
    if (pending_.capacity() < kShardChunkSize) pending_.reserve(kShardChunkSize);
    const size_t n = std::min(bytes.size(), kShardChunkSize - pending_.size());
    pending_.insert(pending_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
    bytes = bytes.subspan(n);
    if (pending_.size() == kShardChunkSize) hand_off({});
  }
  // Inline, a failed write shows at once; on the pool, if it already has.
  return first_error();
}

Status ShardSink::append(std::vector<uint8_t> bytes) {
  if (bytes.size() < kShardChunkSize) return append(std::span<const uint8_t>(bytes));
  ZR_RETURN_IF_ERROR(first_error());
  hand_off(std::move(bytes));
  return first_error();
}

Status ShardSink::flush() {
  ZR_RETURN_IF_ERROR(first_error());
  if (!pending_.empty()) hand_off({});
  return first_error();
}

bool ShardSink::idle() const {
  std::lock_guard lock(state_->mutex);
  return state_->in_flight == 0;
}

void ShardSink::wait_idle() const {
  std::unique_lock lock(state_->mutex);
  state_->slot_freed.wait(lock, [this] { return state_->in_flight == 0; });
}

void ShardSink::release() {
  std::array<std::vector<uint8_t>, kShardChunksInFlight> spent;
  {
    std::lock_guard lock(state_->mutex);
    for (size_t i = 0; i < spent.size(); ++i) std::swap(spent[i], state_->slots[i].bytes);
  }
  pending_ = {};
  state_.reset();
}

Result<std::string> ShardSink::finish() && {
  (void)flush();  // a failure is taken below, once nothing is in flight
  wait_idle();
  // Nothing is in flight: the hasher and the descriptor are this thread's.
  state_->fd.reset();
  Status status = first_error();
  std::string digest = status ? state_->hasher.finish_hex() : std::string();
  release();
  if (!status) return Err(std::move(status).error());
  return digest;
}

void ShardSink::drop() noexcept {
  if (!state_) return;
  {
    std::lock_guard lock(state_->mutex);
    state_->dropped = true;
  }
  wait_idle();
  if (!pending_.empty()) {
    try {
      (void)write_all_at(state_->fd.get(), pending_offset_, pending_);
    } catch (...) {
      // Only making the ignored error's text can throw.
    }
  }
  state_->fd.reset();
  release();
}

}  // namespace zandrel::storage
