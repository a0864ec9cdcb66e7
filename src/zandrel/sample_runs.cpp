#include "zandrel/sample_runs.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "zandrel/storage/format.hpp"

namespace zandrel::runtime {

Result<std::pair<size_t, size_t>> locate_physical(const LoadedCaches& caches,
                                                  std::span<const size_t> cache_offsets,
                                                  size_t physical) {
  auto out_of_range = [physical] {
    return Err(CacheError::invalid_cache("physical sample " + std::to_string(physical) +
                                         " is out of range"));
  };
  // The number of offsets <= physical; a cache of 0 samples shares its offset
  // with the next cache, and the last of equal offsets is the one that holds
  // the sample.
  const size_t k = static_cast<size_t>(
      std::upper_bound(cache_offsets.begin(), cache_offsets.end(), physical) -
      cache_offsets.begin());
  if (k == 0) return out_of_range();
  const size_t cache_id = k - 1;
  if (cache_id >= caches.size()) return Err(CacheError::invalid_cache("cache id is out of range"));
  const size_t local = physical - cache_offsets[cache_id];
  if (local >= caches[cache_id]->index.size()) return out_of_range();
  return std::pair{cache_id, local};
}

const storage::IndexEntry* index_row(const LoadedCaches& caches,
                                     std::span<const size_t> cache_offsets, size_t physical) {
  Result<std::pair<size_t, size_t>> where = locate_physical(caches, cache_offsets, physical);
  if (!where) return nullptr;
  return &caches[where->first]->index[where->second];
}

Result<LoadedSample> load_planned_sample(const LoadedCaches& caches,
                                         std::span<const size_t> cache_offsets, size_t physical,
                                         storage::ShardReaderCache& readers) {
  ZR_ASSIGN_OR_RETURN(const auto where, locate_physical(caches, cache_offsets, physical));
  ZR_ASSIGN_OR_RETURN(LoadedSample sample,
                      caches[where.first]->read_sample_with_cache(where.second, readers));
  sample.cache_index = where.first;
  return sample;
}

namespace {

// One sample of a run whose record passed the checks made before reading.
struct PlannedRecord {
  size_t cache_id;
  size_t local;
  storage::IndexEntry entry;
  size_t at;  // where its record starts in the run's buffer
};

// Reads the records of one run into one buffer and decodes them in order.
class RunReader {
 public:
  RunReader(const RunInputs& inputs, storage::ShardReaderCache& readers)
      : inputs_(inputs), readers_(readers) {}

  // Locates every sample and checks its index row, stopping at the first
  // failure, which is kept for its position. Then allocates one buffer for
  // the records found; false when it cannot be had.
  bool plan(std::span<const size_t> physicals) {
    records_.reserve(physicals.size());
    size_t total = 0;
    for (size_t physical : physicals) {
      Result<std::pair<size_t, size_t>> where =
          locate_physical(inputs_.caches, inputs_.cache_offsets, physical);
      if (!where) {
        planning_error_ = std::move(where).error();
        break;
      }
      const storage::LoadedCache& cache = *inputs_.caches[where->first];
      Result<storage::IndexEntry> entry = storage::checked_record_entry(cache, where->second);
      if (!entry) {
        planning_error_ = std::move(entry).error();
        break;
      }
      // Each length lies inside a shard the loader measured, so the sum of a
      // run's lengths cannot wrap; the check only guards that reasoning.
      if (entry->length > SIZE_MAX - total) return false;
      records_.push_back({where->first, where->second, *entry, total});
      total += static_cast<size_t>(entry->length);
    }
    try {
      buffer_ = inputs_.buffers.acquire(total);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  size_t planned() const { return records_.size(); }
  std::optional<CacheError> take_planning_error() { return std::move(planning_error_); }

  // Sample `i` of the run, reading its record first unless an earlier read
  // brought it in. REQUIRES: i < planned(), called with i = 0, 1, 2, ...
  Result<LoadedSample> load(size_t i) {
    const PlannedRecord& record = records_[i];
    const storage::LoadedCache& cache = *inputs_.caches[record.cache_id];
    ZR_ASSIGN_OR_RETURN(storage::ShardReader * reader,
                        readers_.get_or_open(cache.shard_files[record.entry.shard_id]));
    const size_t length = static_cast<size_t>(record.entry.length);
    if (length == 0) return Err(CacheError::invalid_cache("invalid binary record"));
    if (i >= read_until_) ZR_RETURN_IF_ERROR(read_from(i, reader->fd.get()));
    ZR_ASSIGN_OR_RETURN(LoadedSample sample,
                        storage::decode_sample_record(
                            cache, record.local, record.entry,
                            storage::SampleData(buffer_, record.at, length), &inputs_.buffers));
    sample.cache_index = record.cache_id;
    return sample;
  }

 private:
  // Reads record `i` together with the records after it that continue it in
  // the same shard file, with one positioned read. When that read fails,
  // record `i` is read alone, so that a failure belongs to its own sample.
  Status read_from(size_t i, int fd) {
    const PlannedRecord& first = records_[i];
    uint64_t end = first.entry.offset + first.entry.length;
    size_t j = i + 1;
    for (; j < records_.size(); ++j) {
      const PlannedRecord& next = records_[j];
      if (next.cache_id != first.cache_id || next.entry.shard_id != first.entry.shard_id ||
          next.entry.offset != end || next.entry.length == 0) {
        break;
      }
      end += next.entry.length;
    }
    uint8_t* into = buffer_->data() + first.at;
    Status read = storage::read_exact_at(fd, first.entry.offset,
                                         {into, static_cast<size_t>(end - first.entry.offset)});
    if (!read && j > i + 1) {
      j = i + 1;
      read = storage::read_exact_at(fd, first.entry.offset,
                                    {into, static_cast<size_t>(first.entry.length)});
    }
    ZR_RETURN_IF_ERROR(read);
    read_until_ = j;
    return {};
  }

  const RunInputs& inputs_;
  storage::ShardReaderCache& readers_;
  std::vector<PlannedRecord> records_;     // the samples that passed planning, in order
  std::optional<CacheError> planning_error_;  // of the sample after records_
  storage::SharedBuffer buffer_;           // every record of records_, back to back
  size_t read_until_ = 0;                  // records_[0, read_until_) are in buffer_
};

bool cancelled(const RunInputs& inputs) {
  return inputs.cancelled.load(std::memory_order_acquire);
}

}  // namespace

LoadedRun load_planned_run(const RunInputs& inputs, size_t first_seq,
                           std::span<const size_t> physicals, storage::ShardReaderCache& readers) {
  LoadedRun run;
  run.first_seq = first_seq;
  run.samples.reserve(physicals.size());
  // Loads sample `i` with `load_one`, recording how the run ends.
  auto step = [&](size_t i, auto&& load_one) {
    if (cancelled(inputs)) {
      run.error = CacheError::worker_failed();
      return false;
    }
    Result<LoadedSample> sample = [&]() -> Result<LoadedSample> {
      try {
        return load_one(i);
      } catch (...) {
        return Err(CacheError::worker_failed());
      }
    }();
    if (!sample) {
      run.error = std::move(sample).error();
      return false;
    }
    run.samples.push_back(std::move(*sample));
    return true;
  };

  if (inputs.load) {
    for (size_t i = 0; i < physicals.size(); ++i) {
      if (!step(i, [&](size_t k) {
            return inputs.load(inputs.caches, inputs.cache_offsets, physicals[k]);
          })) {
        break;
      }
    }
    return run;
  }

  RunReader reader(inputs, readers);
  if (!reader.plan(physicals)) {
    // No buffer for the whole run: each sample is read on its own, so that a
    // failed allocation is the error of its own sample.
    for (size_t i = 0; i < physicals.size(); ++i) {
      if (!step(i, [&](size_t k) {
            return load_planned_sample(inputs.caches, inputs.cache_offsets, physicals[k],
                                       readers);
          })) {
        break;
      }
    }
    return run;
  }
  for (size_t i = 0; i < reader.planned(); ++i) {
    if (!step(i, [&](size_t k) { return reader.load(k); })) return run;
  }
  if (reader.planned() < physicals.size()) {
    // The sample after the planned ones failed its checks; it is reached only
    // now, after every earlier sample was read, as a cancelled run would be.
    if (cancelled(inputs)) {
      run.error = CacheError::worker_failed();
    } else {
      run.error = reader.take_planning_error();
    }
  }
  return run;
}

}  // namespace zandrel::runtime
