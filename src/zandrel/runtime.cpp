// The prefetching in-order iterator and the sample-load job it submits.
#include "zandrel/runtime.hpp"

#include <algorithm>
#include <cassert>
#include <string>
#include <utility>

namespace zandrel {

namespace runtime {

Result<LoadedSample> load_planned_sample(const LoadedCaches& caches,
                                         std::span<const size_t> cache_offsets, size_t physical,
                                         storage::ShardReaderCache& readers) {
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
  const storage::LoadedCache& cache = *caches[cache_id];
  if (local >= cache.index.size()) return out_of_range();

  ZR_ASSIGN_OR_RETURN(LoadedSample sample, cache.read_sample_with_cache(local, readers));
  sample.cache_index = cache_id;
  sample.sample_index = local;
  return sample;
}

}  // namespace runtime

Result<std::unique_ptr<RuntimeIterator>> RuntimeIterator::start(
    std::shared_ptr<WorkerPool> pool, std::shared_ptr<const LoadedCaches> caches,
    std::shared_ptr<const std::vector<size_t>> cache_offsets, EpochPlan plan, size_t prefetch_size,
    size_t num_workers, runtime::SampleLoadFn load) {
  const size_t total = plan.size();
  const size_t window = std::min({prefetch_size, num_workers, total});
  assert(window >= 1 || total == 0);  // else next() would wait for nothing
  auto context = std::make_shared<JobContext>();
  context->caches = std::move(caches);
  context->cache_offsets = std::move(cache_offsets);
  context->load = std::move(load);
  std::unique_ptr<RuntimeIterator> iterator(
      new RuntimeIterator(std::move(plan), std::move(pool), std::move(context), window));
  // On failure `iterator` goes here: its destructor cancels the jobs already
  // submitted.
  ZR_RETURN_IF_ERROR(iterator->schedule_available());
  return iterator;
}

RuntimeIterator::RuntimeIterator(EpochPlan plan, std::shared_ptr<WorkerPool> pool,
                                 std::shared_ptr<JobContext> context, size_t window)
    : plan_(std::move(plan)),
      pool_(std::move(pool)),
      context_(std::move(context)),
      window_(window),
      total_(plan_.size()) {
  auto [sender, receiver] = make_bounded_channel<Message>(window);
  sender_ = std::move(sender);
  receiver_ = std::move(receiver);
}

RuntimeIterator::~RuntimeIterator() {
  // Before the channel and handles go: queued jobs skip their read and
  // running ones discard their sample; their sends then fail and are dropped.
  context_->cancelled.store(true, std::memory_order_release);
}

Status RuntimeIterator::schedule_available() {
  while (in_flight_ < window_ && next_schedule_ < total_) {
    ZR_ASSIGN_OR_RETURN(const size_t physical, plan_.physical_index(next_schedule_));
    ZR_RETURN_IF_ERROR(pool_->submit_catching(
        sender_, [context = context_, physical, seq = next_schedule_]() -> Message {
          if (context->cancelled.load(std::memory_order_acquire)) {
            return Err(CacheError::worker_failed());
          }
          Result<LoadedSample> sample =
              context->load
                  ? context->load(*context->caches, *context->cache_offsets, physical)
                  : runtime::load_planned_sample(*context->caches, *context->cache_offsets,
                                                 physical, storage::thread_shard_readers());
          if (!sample) return Err(std::move(sample).error());
          if (context->cancelled.load(std::memory_order_acquire)) {
            return Err(CacheError::worker_failed());
          }
          return LoadedResult{std::move(*sample), seq};
        }));
    ++next_schedule_;
    ++in_flight_;
  }
  return {};
}

Result<std::optional<LoadedSample>> RuntimeIterator::next() {
  if (emitted_ >= total_) return std::nullopt;
  for (;;) {
    if (auto it = pending_.find(next_emit_); it != pending_.end()) {
      LoadedSample sample = std::move(it->second);
      pending_.erase(it);
      ++next_emit_;
      ++emitted_;
      return sample;
    }

    // sender_ is alive, so recv() returns only with a message.
    std::optional<Message> message = receiver_.recv();
    if (!message) return fail(CacheError::worker_failed());
    if (!*message) return fail(std::move(*message).error());
    LoadedResult result = std::move(**message);
    if (in_flight_ == 0) return fail(CacheError::worker_failed());
    --in_flight_;

    // Keep the pool busy while the host works on what we hand out.
    if (!schedule_available()) return fail(CacheError::worker_failed());

    if (result.seq == next_emit_) {
      ++next_emit_;
      ++emitted_;
      return std::move(result.sample);
    }
    if (!pending_.emplace(result.seq, std::move(result.sample)).second) {
      return fail(CacheError::worker_failed());
    }
  }
}

void RuntimeIterator::stop() {
  emitted_ = total_;
  pending_.clear();  // never delivered now
  context_->cancelled.store(true, std::memory_order_release);
}

Result<std::optional<LoadedSample>> RuntimeIterator::fail(CacheError error) {
  stop();
  return Err(std::move(error));
}

}  // namespace zandrel
