// Loading a run of planned samples on one worker.
//
// The prefetching iterator hands the pool runs of consecutive plan positions
// rather than single samples, so that the cost of a hand-off between threads
// is paid once per run. A run is loaded in plan order and ends at its first
// failing sample: the samples before it are kept, the failure is recorded
// after them, and nothing later is read. Records that lie one after another
// in the same shard file (a sequential epoch) are read with one positioned
// read; every record of a run shares one buffer.
//
// Threads: load_planned_run runs on a worker with that worker's own
// ShardReaderCache; the caches and offsets are shared read-only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "zandrel/dataset.hpp"
#include "zandrel/storage/buffer_pool.hpp"
#include "zandrel/storage/loader.hpp"
#include "zandrel/types.hpp"

namespace zandrel::runtime {

using storage::LoadedSample;

// The samples of one run in plan order from `first_seq`. A run that ended
// early says why, for sample first_seq + samples.size(): `error` is its
// failure, or `rest` holds the physical indices of that sample and the ones
// after it, left unread because the run's memory was spent, to be loaded by
// another run. Never both.
struct LoadedRun {
  size_t first_seq = 0;
  std::vector<LoadedSample> samples;
  std::optional<CacheError> error;
  std::vector<size_t> rest;
};

// The cache holding physical sample `physical` and the sample's index in it:
// the last cache whose offset is <= physical (binary search). Errors:
// InvalidCache "physical sample {} is out of range" (before the first cache
// or past the end of its cache), "cache id is out of range" (more offsets
// than caches).
Result<std::pair<size_t, size_t>> locate_physical(const LoadedCaches& caches,
                                                  std::span<const size_t> cache_offsets,
                                                  size_t physical);

// The index row of physical sample `physical`, or null when it cannot be
// located (its load will report why).
const storage::IndexEntry* index_row(const LoadedCaches& caches,
                                     std::span<const size_t> cache_offsets, size_t physical);

// Reads physical sample `physical` on its own (locate_physical, then the
// sample reader through `readers`).
Result<LoadedSample> load_planned_sample(const LoadedCaches& caches,
                                         std::span<const size_t> cache_offsets, size_t physical,
                                         storage::ShardReaderCache& readers);

// How a run reads one sample in place of the shard files; tests pass their
// own to control timing and failures.
using SampleLoadFn = std::function<Result<LoadedSample>(
    const LoadedCaches& caches, std::span<const size_t> cache_offsets, size_t physical)>;

// The stored bytes a run is planned to hold, unless a single sample needs
// more, and the least output buffer its lz4 payloads are asked to decode
// into (see load_planned_run for what that bounds).
inline constexpr size_t kRunBytes = size_t{1} << 20;

// What every sample of a run needs besides its physical index.
struct RunInputs {
  const LoadedCaches& caches;
  std::span<const size_t> cache_offsets;
  storage::BufferPool& buffers;           // the run's record buffer and lz4 output
  const std::atomic<bool>& cancelled;     // read (acquire) before each sample
  const SampleLoadFn& load;               // empty: read the shard files
};

// Loads the samples of `physicals` in order, from `first_seq` on, through the
// calling worker's `readers`. Stops at the first failing sample (its error
// recorded; an exception becomes WorkerFailed) and, before any sample, when
// `cancelled` reads true (WorkerFailed).
//
// Memory: the records are read into one buffer asked for max(their stored
// length, kRunBytes), and lz4 payloads decode one after another into one
// output buffer asked for max(the first one's length, kRunBytes). The pool
// may hand out a buffer of up to twice the class of what is asked
// (BufferPool::acquire), and the output is filled to its capacity: a payload
// that would not fit in what is left of it ends the run before it, its
// physical index and the later ones going to `rest`. So however far its
// payloads expand, a run's decoded payloads take at most 2 x
// buffer_class(max(the first one's length, kRunBytes)) bytes (2 MiB when no
// payload passes kRunBytes), and its records at most 2 x buffer_class of
// what was asked for them.
LoadedRun load_planned_run(const RunInputs& inputs, size_t first_seq,
                           std::span<const size_t> physicals, storage::ShardReaderCache& readers);

}  // namespace zandrel::runtime
