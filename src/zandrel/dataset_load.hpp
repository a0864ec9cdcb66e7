// Building a dataset: every cache opened in parallel on the worker pool,
// put back in the caller's order, checked for one shared metadata schema and
// laid out in one physical sample index space (cache offsets).
//
// Python-free. create_dataset_state runs on the caller's thread (the host
// thread, which keeps the interpreter lock while it waits for the loads); the
// load jobs run on the pool's workers and touch nothing but their own cache.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "zandrel/dataset.hpp"
#include "zandrel/storage/loader.hpp"
#include "zandrel/types.hpp"
#include "zandrel/worker_pool.hpp"

namespace zandrel::dataset {

// The message of one cache-load job: the opened cache and the position of its
// path in the constructor's list.
struct CacheLoadResult {
  std::shared_ptr<const storage::LoadedCache> cache;
  size_t index;
};

// How a load job opens one cache (path, validate). Empty means
// storage::load_cache; tests pass their own to control timing and failures.
using CacheLoadFn =
    std::function<Result<storage::LoadedCache>(const std::filesystem::path&, bool)>;

// Loads every path on `pool`, at most min(paths, num_workers) at a time with a
// sliding window: the next path is submitted as soon as any load completes.
// Returns the results in completion order. The first load to fail (in
// completion order) is the error; loads still running then finish on their
// workers and their results are dropped, and later paths are never loaded. A
// loader that throws reports CacheError::worker_failed().
// REQUIRES: !paths.empty(), num_workers >= 1.
Result<std::vector<CacheLoadResult>> load_caches_parallel(const WorkerPool& pool,
                                                          size_t num_workers,
                                                          const std::vector<std::string>& paths,
                                                          bool validate_cache,
                                                          const CacheLoadFn& load = {});

// The caches of `results` ordered by their index.
// REQUIRES: the indices are exactly 0 .. results.size() - 1, each once.
LoadedCaches order_loaded_caches(std::vector<CacheLoadResult> results);

// Every cache's manifest schema equals the first's, field by field (name and
// kind, order included); else InvalidCache "all caches must share the same
// metadata schema".
Status check_shared_schema(const LoadedCaches& caches);

struct CacheOffsets {
  std::vector<size_t> offsets;  // offsets[k] = sum of the counts before cache k
  size_t total;                 // sum of all counts: the physical sample count
};

// The start of each cache in the physical index space, from the caches' sample
// counts in order. A sum beyond size_t fails with InvalidArgument "total
// sample count overflowed usize".
Result<CacheOffsets> collect_cache_offsets(std::span<const uint64_t> sample_counts);

// The construction of a CachedDataset's state, in order: InvalidArgument
// "CachedDataset requires at least one cache path", "prefetch_size must be
// greater than zero", then the loads, the schema check, the offsets and
// InvalidCache "dataset contains no physical samples". The state starts with
// no table, epoch_len = physical sample count, cursor and draw offset 0.
Result<std::shared_ptr<DatasetState>> create_dataset_state(std::shared_ptr<WorkerPool> pool,
                                                           size_t num_workers,
                                                           const std::vector<std::string>& paths,
                                                           uint64_t seed, size_t prefetch_size,
                                                           bool shuffle, bool validate_cache,
                                                           const CacheLoadFn& load = {});

// The current epoch length, read under the dataset's mutex.
size_t current_epoch_len(const DatasetState& state);

}  // namespace zandrel::dataset
