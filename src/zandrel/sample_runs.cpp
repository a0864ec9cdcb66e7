#include "zandrel/sample_runs.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "zandrel/compression.hpp"
#include "zandrel/storage/format.hpp"
#include "zandrel/storage/sample_reader.hpp"

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

constexpr size_t kOutputAlign = 64;  // each decoded payload starts on a cache line

// Reads the records of one run into one buffer and decodes them in order.
class RunReader {
 public:
  RunReader(const RunInputs& inputs, storage::ShardReaderCache& readers)
      : inputs_(inputs), readers_(readers) {}

  // Locates every sample and checks its index row, stopping at the first
  // failure, which is kept for its position. Then takes one buffer for the
  // records found; false when it cannot be had.
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
      // Every run asks for at least kRunBytes, so runs of any size share
      // buffers of one class.
      buffer_ = inputs_.buffers.acquire(std::max(total, kRunBytes));
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  size_t planned() const { return records_.size(); }
  std::optional<CacheError> take_planning_error() { return std::move(planning_error_); }

  // Sample `i` of the run, reading its record first unless an earlier read
  // brought it in; nullopt when its lz4 payload does not fit in what is left
  // of the run's output buffer (never for the first sample decoded).
  // REQUIRES: i < planned(), called with i = 0, 1, 2, ...
  Result<std::optional<LoadedSample>> load(size_t i) {
    const PlannedRecord& record = records_[i];
    const storage::LoadedCache& cache = *inputs_.caches[record.cache_id];
    ZR_ASSIGN_OR_RETURN(storage::ShardReader * reader,
                        readers_.get_or_open(cache.shard_files[record.entry.shard_id]));
    const size_t length = static_cast<size_t>(record.entry.length);
    if (length == 0) return Err(CacheError::invalid_cache("invalid binary record"));
    const bool lz4 =
        cache.manifest.shards[record.entry.shard_id].compression.algo == CompressionAlgo::kLz4;
    if (i >= read_until_) ZR_RETURN_IF_ERROR(read_from(i, reader->fd.get(), lz4));
    const std::span<const uint8_t> bytes(buffer_->data() + record.at, length);
    ZR_ASSIGN_OR_RETURN(storage::CheckedRecord checked,
                        storage::check_sample_record(cache, record.local, bytes));

    LoadedSample sample;
    if (!lz4) {
      sample.data = storage::SampleData(buffer_, record.at + checked.payload_at,
                                        checked.payload_size);
    } else {
      ZR_ASSIGN_OR_RETURN(std::optional<storage::SampleData> data,
                          decode(bytes.subspan(checked.payload_at, checked.payload_size)));
      if (!data) return std::nullopt;
      sample.data = std::move(*data);
    }
    sample.metadata = std::move(checked.metadata);
    sample.cache_index = record.cache_id;
    sample.sample_index = record.local;
    return sample;
  }

 private:
  // Reads record `i` together with the records after it that continue it in
  // the same shard file, with one positioned read; for an lz4 shard, only as
  // many as the output buffer is likely to take (lz4_read_ahead), since a run
  // that fills its output leaves the rest unread. When that read fails,
  // record `i` is read alone, so that a failure belongs to its own sample.
  Status read_from(size_t i, int fd, bool lz4) {
    const PlannedRecord& first = records_[i];
    const uint64_t ahead = lz4 ? lz4_read_ahead() : UINT64_MAX;
    uint64_t end = first.entry.offset + first.entry.length;
    size_t j = i + 1;
    for (; j < records_.size(); ++j) {
      const PlannedRecord& next = records_[j];
      if (next.cache_id != first.cache_id || next.entry.shard_id != first.entry.shard_id ||
          next.entry.offset != end || next.entry.length == 0 ||
          end + next.entry.length - first.entry.offset > ahead) {
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

  // Stored bytes of lz4 records worth reading at once: what the room left in
  // the output takes at the expansion this run's payloads have shown so far.
  // Before any payload is decoded, 0: the first record is read alone.
  uint64_t lz4_read_ahead() const {
    if (!output_ || lz4_decoded_ == 0) return 0;
    const double room = static_cast<double>(output_->capacity() - output_used_);
    return static_cast<uint64_t>(room * static_cast<double>(lz4_stored_) /
                                 static_cast<double>(lz4_decoded_));
  }

  // Decodes an lz4 payload into the run's output buffer, after the payloads
  // decoded before it; nullopt when it does not fit there.
  Result<std::optional<storage::SampleData>> decode(std::span<const uint8_t> payload) {
    ZR_ASSIGN_OR_RETURN(const size_t capacity, compression::lz4_output_capacity(payload));
    if (!output_) {
      try {
        output_ = inputs_.buffers.acquire(std::max(capacity, kRunBytes));
      } catch (const std::bad_alloc&) {
        return Err(CacheError::invalid_cache("invalid binary record"));
      }
    } else if (capacity > output_->capacity() - output_used_) {
      return std::nullopt;
    }
    const size_t at = output_used_;
    ZR_ASSIGN_OR_RETURN(const size_t decoded, compression::decompress_lz4_into(
                                                  payload, {output_->data() + at, capacity}));
    lz4_stored_ += payload.size();
    lz4_decoded_ += decoded;
    const size_t aligned_end = (at + decoded + kOutputAlign - 1) / kOutputAlign * kOutputAlign;
    output_used_ = std::min(aligned_end, output_->capacity());
    return storage::SampleData(output_, at, decoded);
  }

  const RunInputs& inputs_;
  storage::ShardReaderCache& readers_;
  std::vector<PlannedRecord> records_;     // the samples that passed planning, in order
  std::optional<CacheError> planning_error_;  // of the sample after records_
  storage::SharedBuffer buffer_;           // every record of records_, back to back
  size_t read_until_ = 0;                  // records_[0, read_until_) are in buffer_
  storage::SharedBuffer output_;           // decoded lz4 payloads, back to back
  size_t output_used_ = 0;                 // bytes of output_ taken
  uint64_t lz4_stored_ = 0;                // payload bytes decoded into output_ ...
  uint64_t lz4_decoded_ = 0;               // ... and what they decoded to
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
  // Loads sample `i` with `load_one`, recording how the run ends; false once
  // it has ended.
  auto step = [&](size_t i, auto&& load_one) {
    if (cancelled(inputs)) {
      run.error = CacheError::worker_failed();
      return false;
    }
    Result<std::optional<LoadedSample>> sample = [&]() -> Result<std::optional<LoadedSample>> {
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
    if (!*sample) {
      run.rest.assign(physicals.begin() + static_cast<ptrdiff_t>(i), physicals.end());
      return false;
    }
    run.samples.push_back(std::move(**sample));
    return true;
  };
  // A sample read on its own, outside the run's buffers.
  auto alone = [](Result<LoadedSample> sample) -> Result<std::optional<LoadedSample>> {
    if (!sample) return Err(std::move(sample).error());
    return std::move(*sample);
  };

  if (inputs.load) {
    for (size_t i = 0; i < physicals.size(); ++i) {
      if (!step(i, [&](size_t k) {
            return alone(inputs.load(inputs.caches, inputs.cache_offsets, physicals[k]));
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
            return alone(load_planned_sample(inputs.caches, inputs.cache_offsets, physicals[k],
                                             readers));
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
