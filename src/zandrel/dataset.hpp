// The shared state of one CachedDataset: immutable fields read by any thread
// holding a handle, and one mutex over what iteration and the metadata table
// change.
//
// The host object holds a shared_ptr<DatasetState>. Iterators take their own
// handles of the pool, the caches and the offsets, so they outlive the
// dataset object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "zandrel/types.hpp"

namespace zandrel {

class WorkerPool;
struct ActiveMetadataTable;  // samples_metadata.hpp
namespace storage {
struct LoadedCache;  // storage/loader.hpp
}

using LoadedCaches = std::vector<std::shared_ptr<const storage::LoadedCache>>;

// Only read or written with DatasetState::mutable_state_mutex held.
struct MutableDatasetState {
  // The host's installed table, if any; replaced whole, never modified.
  std::shared_ptr<const ActiveMetadataTable> active_metadata;
  size_t epoch_len = 0;           // >= 1
  size_t sequential_cursor = 0;   // next start of an unshuffled epoch
  uint64_t draw_offset = 0;       // next draw number of a shuffled epoch
  bool shuffle = false;           // never changed after construction
};

struct DatasetState {
  MetadataSchema schema;                                  // equal to every cache's schema
  std::shared_ptr<WorkerPool> pool;
  std::shared_ptr<const LoadedCaches> caches;             // paths order; position = cache id
  std::shared_ptr<const std::vector<size_t>> cache_offsets;  // first physical index of each cache
  size_t physical_sample_count = 0;                       // >= 1
  uint64_t seed = 0;
  size_t prefetch_size = 1;                               // >= 1
  size_t num_workers = 1;                                 // >= 1

  mutable std::mutex mutable_state_mutex;
  MutableDatasetState mutable_state;  // guarded by mutable_state_mutex
};

}  // namespace zandrel
