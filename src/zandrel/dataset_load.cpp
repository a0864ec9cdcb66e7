// Parallel cache loading and the construction of a dataset's shared state.
#include "zandrel/dataset_load.hpp"

#include <algorithm>
#include <cassert>
#include <mutex>
#include <optional>
#include <utility>

#include "zandrel/channel.hpp"

namespace zandrel::dataset {
namespace {

using LoadMessage = Result<CacheLoadResult>;

// Queues the load of paths[index] on a worker; the job sends its result on
// `sender`. A loader that throws is reported as worker_failed by the pool.
Status submit_next_cache_load(const WorkerPool& pool, const Sender<LoadMessage>& sender,
                              const std::string& path, size_t index, bool validate_cache,
                              const CacheLoadFn& load) {
  return pool.submit_catching(
      sender, [path = std::filesystem::path(path), index, validate_cache,
               load]() -> LoadMessage {
        Result<storage::LoadedCache> loaded =
            load ? load(path, validate_cache) : storage::load_cache(path, validate_cache);
        if (!loaded) return Err(std::move(loaded).error());
        return CacheLoadResult{std::make_shared<const storage::LoadedCache>(std::move(*loaded)),
                               index};
      });
}

}  // namespace

Result<std::vector<CacheLoadResult>> load_caches_parallel(const WorkerPool& pool,
                                                          size_t num_workers,
                                                          const std::vector<std::string>& paths,
                                                          bool validate_cache,
                                                          const CacheLoadFn& load) {
  assert(!paths.empty() && num_workers >= 1);
  // At most `window` loads are in flight, and the channel holds `window`
  // results, so a worker never blocks on its send.
  const size_t window = std::min(paths.size(), num_workers);
  auto [sender, receiver] = make_bounded_channel<LoadMessage>(window);

  size_t submitted = 0;
  for (; submitted < window; ++submitted) {
    ZR_RETURN_IF_ERROR(
        submit_next_cache_load(pool, sender, paths[submitted], submitted, validate_cache, load));
  }

  std::vector<CacheLoadResult> results;
  results.reserve(paths.size());
  while (results.size() < paths.size()) {
    // `sender` stays alive here, so recv() ends only with a message: every
    // submitted job sends exactly one.
    std::optional<LoadMessage> message = receiver.recv();
    if (!message) return Err(CacheError::worker_failed());
    // Returning drops the receiver: loads still running finish and their
    // sends fail silently.
    if (!*message) return Err(std::move(*message).error());
    results.push_back(std::move(**message));
    if (submitted < paths.size()) {
      ZR_RETURN_IF_ERROR(
          submit_next_cache_load(pool, sender, paths[submitted], submitted, validate_cache, load));
      ++submitted;
    }
  }
  return results;
}

LoadedCaches order_loaded_caches(std::vector<CacheLoadResult> results) {
  LoadedCaches caches(results.size());
  for (CacheLoadResult& result : results) {
    assert(result.index < caches.size() && !caches[result.index]);
    caches[result.index] = std::move(result.cache);
  }
  return caches;
}

Status check_shared_schema(const LoadedCaches& caches) {
  for (size_t k = 1; k < caches.size(); ++k) {
    // MetadataField equality compares name bytes and kind; vector equality
    // adds length and position.
    if (caches[k]->manifest.metadata_schema != caches[0]->manifest.metadata_schema) {
      return Err(CacheError::invalid_cache("all caches must share the same metadata schema"));
    }
  }
  return {};
}

Result<CacheOffsets> collect_cache_offsets(std::span<const uint64_t> sample_counts) {
  static_assert(sizeof(size_t) == sizeof(uint64_t), "64-bit targets only");
  CacheOffsets result{{}, 0};
  result.offsets.reserve(sample_counts.size());
  for (uint64_t count : sample_counts) {
    result.offsets.push_back(result.total);
    if (__builtin_add_overflow(result.total, static_cast<size_t>(count), &result.total)) {
      return Err(CacheError::invalid_argument("total sample count overflowed usize"));
    }
  }
  return result;
}

Result<std::shared_ptr<DatasetState>> create_dataset_state(std::shared_ptr<WorkerPool> pool,
                                                           size_t num_workers,
                                                           const std::vector<std::string>& paths,
                                                           uint64_t seed, size_t prefetch_size,
                                                           bool shuffle, bool validate_cache,
                                                           const CacheLoadFn& load) {
  if (paths.empty()) {
    return Err(CacheError::invalid_argument("CachedDataset requires at least one cache path"));
  }
  ZR_RETURN_IF_ERROR(PrefetchSize::create(prefetch_size));

  ZR_ASSIGN_OR_RETURN(std::vector<CacheLoadResult> loaded,
                      load_caches_parallel(*pool, num_workers, paths, validate_cache, load));
  LoadedCaches caches = order_loaded_caches(std::move(loaded));
  ZR_RETURN_IF_ERROR(check_shared_schema(caches));

  std::vector<uint64_t> counts;
  counts.reserve(caches.size());
  for (const auto& cache : caches) counts.push_back(cache->manifest.sample_count);
  ZR_ASSIGN_OR_RETURN(CacheOffsets offsets, collect_cache_offsets(counts));
  if (offsets.total == 0) {
    return Err(CacheError::invalid_cache("dataset contains no physical samples"));
  }

  auto state = std::make_shared<DatasetState>();
  state->schema = caches[0]->manifest.metadata_schema;
  state->pool = std::move(pool);
  state->caches = std::make_shared<const LoadedCaches>(std::move(caches));
  state->cache_offsets = std::make_shared<const std::vector<size_t>>(std::move(offsets.offsets));
  state->physical_sample_count = offsets.total;
  state->seed = seed;
  state->prefetch_size = prefetch_size;
  state->num_workers = num_workers;
  state->mutable_state.epoch_len = offsets.total;
  state->mutable_state.shuffle = shuffle;
  return state;
}

size_t current_epoch_len(const DatasetState& state) {
  std::lock_guard lock(state.mutable_state_mutex);
  return state.mutable_state.epoch_len;
}

}  // namespace zandrel::dataset
