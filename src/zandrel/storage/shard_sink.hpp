// ShardSink: the bytes of one shard file on their way to disk, with the
// file's running SHA-256.
//
// The owner appends the shard's bytes in file order. They are gathered into
// chunks of kShardChunkSize bytes, and each full chunk is handed off as a
// whole: a write job puts its bytes into the file at their offset (pwrite),
// and the shard's hash chain feeds them to the digest. A vector of at least
// kShardChunkSize bytes (a large payload) is not copied: it is moved in and
// handed off at once, as the tail of the chunk gathered so far.
//
// With a worker pool, the write jobs and the hash chain run there as detached
// jobs, so the owner's thread only copies bytes while the file writes and the
// digest overlap with it and with each other: the writes of different chunks
// are independent and may run on several workers at once, while the hash
// chain is one job at a time that takes the chunks strictly in file order.
// Without a pool the same work runs inline, on the owner's thread, at each
// hand-off. Either way the file and its digest are the same.
//
// Memory is bounded: at most kShardChunksInFlight chunks are handed off and
// not yet both written and hashed; a hand-off beyond that waits until the
// oldest of them is done. The gathering buffers come back to the owner for
// reuse; a moved-in buffer is released as soon as it is written and hashed.
//
// Errors: the first failed write is kept; the next append or finish()
// returns it (an Io error, as the failing pwrite reported it).
//
// Dropping an unfinished sink waits for every chunk in flight, then writes
// out the pending bytes (errors ignored) and closes the file: nothing of the
// shard is written after the destructor returns. The jobs hold the state
// they share with the sink through a shared_ptr, so a job still winding down
// after its last chunk (the hash chain finding nothing more to hash) finds it
// alive after the sink is gone.
//
// Threads: a sink belongs to one owner thread at a time. Its jobs never wait
// for the owner, so the owner may wait for them; it never holds the sink's
// mutex while it hands a job to the pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "zandrel/types.hpp"

namespace zandrel {
class WorkerPool;
}  // namespace zandrel

namespace zandrel::storage {

// Bytes per chunk handed off at once.
inline constexpr size_t kShardChunkSize = size_t{1} << 20;
// Chunks handed off and not yet written and hashed, at most.
inline constexpr size_t kShardChunksInFlight = 4;

class ShardSink {
 public:
  // Creates (or truncates) `path`, 0666 before the umask, with an empty
  // digest. `pool` may be null: the work then runs inline. Failure: Io.
  static Result<ShardSink> create(const std::filesystem::path& path,
                                  std::shared_ptr<WorkerPool> pool);

  ShardSink(ShardSink&& other) noexcept = default;
  ShardSink& operator=(ShardSink&& other) noexcept;
  ShardSink(const ShardSink&) = delete;
  ShardSink& operator=(const ShardSink&) = delete;
  // Unfinished: waits for the chunks in flight, writes out the pending bytes
  // (errors ignored) and closes the file.
  ~ShardSink();

  // Appends `bytes` at the end of the shard, handing off every chunk that
  // fills up. Returns the first failed write's error once it is known: before
  // appending anything when it is already known, else after (inline, the
  // write of a chunk this call handed off).
  Status append(std::span<const uint8_t> bytes);
  // As above; a vector of at least kShardChunkSize bytes is moved, not
  // copied, and handed off at once as the tail of the pending chunk.
  Status append(std::vector<uint8_t> bytes);

  // Hands off the pending bytes without waiting for them; nothing more may be
  // appended. Returns the first failed write's error if it is known.
  Status flush();
  // No chunk is in flight: finish() would not wait.
  bool idle() const;

  // Hands off the last chunk, waits for every chunk to be written and hashed,
  // closes the file (on failure too) and returns the digest as 64 lowercase
  // hex characters. Failure: the first failed write's Io error.
  Result<std::string> finish() &&;

 private:
  struct State;

  ShardSink(std::shared_ptr<State> state, std::shared_ptr<WorkerPool> pool);

  Status first_error() const;
  // Hands off the pending bytes followed by `tail` as the next chunk,
  // waiting while the slot it needs is still in flight; the slot's spent
  // gathering buffer becomes the next pending one.
  void hand_off(std::vector<uint8_t> tail);
  // Runs `work` as a detached pool job, or inline without a pool (or when the
  // pool refuses it).
  template <typename Work>
  void dispatch(const Work& work) const;
  // Waits until no chunk is in flight.
  void wait_idle() const;
  // Frees the slots' buffers on this thread and releases the state.
  void release();
  // The destructor's work: see ~ShardSink.
  void drop() noexcept;

  std::shared_ptr<State> state_;       // null once finished, dropped or moved from
  std::shared_ptr<WorkerPool> pool_;   // null: the work runs inline
  std::vector<uint8_t> pending_;       // the chunk being gathered (capacity kShardChunkSize once used)
  uint64_t pending_offset_ = 0;        // file offset of pending_'s first byte
};

}  // namespace zandrel::storage
