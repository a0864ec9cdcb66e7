// The prefetching in-order iterator and the run-load job it submits.
#include "zandrel/runtime.hpp"

#include <algorithm>
#include <cassert>
#include <utility>

namespace zandrel {

Result<std::unique_ptr<RuntimeIterator>> RuntimeIterator::start(
    std::shared_ptr<WorkerPool> pool, std::shared_ptr<const LoadedCaches> caches,
    std::shared_ptr<const std::vector<size_t>> cache_offsets, EpochPlan plan, size_t prefetch_size,
    size_t num_workers, runtime::SampleLoadFn load) {
  const size_t total = plan.size();
  const size_t window = std::min({prefetch_size, num_workers, total});
  const size_t max_held = std::min({prefetch_size, num_workers + 1, total});
  assert(window >= 1 || total == 0);  // else next() would wait for nothing
  auto context = std::make_shared<JobContext>();
  context->caches = std::move(caches);
  context->cache_offsets = std::move(cache_offsets);
  context->load = std::move(load);
  // A run's buffers are released once its samples are delivered. At most
  // max_held runs are held at once, each with a record buffer and, for lz4,
  // an output buffer, and a fitting free buffer is always reused before a
  // new one is made: keeping that many free ones maps no more memory than
  // the most ever in use, while a stream of runs stops touching new pages.
  context->buffers = storage::BufferPool::create(2 * max_held + 2);
  std::unique_ptr<RuntimeIterator> iterator(new RuntimeIterator(
      std::move(plan), std::move(pool), std::move(context), window, max_held));
  // On failure `iterator` goes here: its destructor cancels the jobs already
  // submitted.
  ZR_RETURN_IF_ERROR(iterator->schedule_available());
  return iterator;
}

RuntimeIterator::RuntimeIterator(EpochPlan plan, std::shared_ptr<WorkerPool> pool,
                                 std::shared_ptr<JobContext> context, size_t window,
                                 size_t max_held)
    : plan_(std::move(plan)),
      pool_(std::move(pool)),
      context_(std::move(context)),
      window_(window),
      max_held_(max_held),
      total_(plan_.size()) {
  auto [sender, receiver] = make_bounded_channel<Message>(max_held_);
  sender_ = std::move(sender);
  receiver_ = std::move(receiver);
}

RuntimeIterator::~RuntimeIterator() {
  // Before the channel and handles go: queued runs skip their reads and
  // running ones stop before their next sample; their sends then fail and
  // are dropped.
  context_->cancelled.store(true, std::memory_order_release);
}

Result<std::vector<size_t>> RuntimeIterator::plan_next_run() {
  // What is left is spread over the window, so that the last runs of an
  // epoch still load in parallel.
  const size_t remaining = total_ - next_schedule_;
  const size_t share = remaining / window_ + (remaining % window_ != 0);
  const size_t limit = std::clamp<size_t>(share, 1, kMaxRunSamples);

  // First every position of the run is asked of the plan and its index row
  // fetched towards the cache: with shuffled positions each row is a cache
  // miss, and they overlap this way rather than one after another.
  while (asked_.size() < limit) {
    ZR_ASSIGN_OR_RETURN(const size_t physical,
                        plan_.physical_index(next_schedule_ + asked_.size()));
    const storage::IndexEntry* row =
        runtime::index_row(*context_->caches, *context_->cache_offsets, physical);
    __builtin_prefetch(row);
    asked_.push_back({physical, row});
  }
  // Then the run takes positions while their stored bytes fit; what is left
  // starts the next run.
  size_t count = 0;
  uint64_t bytes = 0;
  for (; count < limit; ++count) {
    const storage::IndexEntry* row = asked_[count].row;
    const uint64_t length = row ? row->length : 0;
    if (count > 0 && length > runtime::kRunBytes - std::min<uint64_t>(bytes, runtime::kRunBytes)) {
      break;
    }
    bytes += length;
  }
  std::vector<size_t> physicals;
  physicals.reserve(count);
  for (size_t i = 0; i < count; ++i) physicals.push_back(asked_[i].physical);
  asked_.erase(asked_.begin(), asked_.begin() + count);
  return physicals;
}

Status RuntimeIterator::schedule_available() {
  // Runs that overtook a slow one wait in pending_; counting them too keeps
  // what is held ahead of the host bounded while that run is late.
  // Positions a run gave back go out before new ones: they are owed first.
  while (in_flight_ + pending_.size() < max_held_) {
    if (!returned_.empty()) {
      ZR_RETURN_IF_ERROR(submit_returned());
    } else if (next_schedule_ < total_) {
      ZR_ASSIGN_OR_RETURN(std::vector<size_t> physicals, plan_next_run());
      const size_t count = physicals.size();
      ZR_RETURN_IF_ERROR(submit_run(next_schedule_, std::move(physicals)));
      next_schedule_ += count;
    } else {
      break;
    }
  }
  return {};
}

Status RuntimeIterator::submit_run(size_t first_seq, std::vector<size_t> physicals) {
  ZR_RETURN_IF_ERROR(pool_->submit_catching(
      sender_, [context = context_, first_seq, physicals = std::move(physicals)]() -> Message {
        const runtime::RunInputs inputs{*context->caches, *context->cache_offsets,
                                        *context->buffers, context->cancelled, context->load};
        return runtime::load_planned_run(inputs, first_seq, physicals,
                                         storage::thread_shard_readers());
      }));
  ++in_flight_;
  return {};
}

Status RuntimeIterator::submit_returned() {
  auto node = returned_.extract(returned_.begin());
  return submit_run(node.key(), std::move(node.mapped()));
}

Result<std::optional<LoadedSample>> RuntimeIterator::next() {
  if (emitted_ >= total_) return std::nullopt;
  for (;;) {
    if (current_next_ < current_.samples.size()) {
      ++next_emit_;
      ++emitted_;
      LoadedSample sample = std::move(current_.samples[current_next_++]);
      // The host copies this payload now and the next one at its next call;
      // that one was written by another core, so its first lines are
      // fetched meanwhile (a large payload streams well on its own).
      if (current_next_ < current_.samples.size()) {
        const storage::SampleData& following = current_.samples[current_next_].data;
        const size_t span = std::min<size_t>(following.size(), kPrefetchBytes);
        for (size_t at = 0; at < span; at += 64) __builtin_prefetch(following.data() + at);
      }
      if (emitted_ == total_) release_buffers();
      return sample;
    }
    // The current run is delivered: its failure, if any, comes at its place.
    if (current_.error) return fail(std::move(*current_.error));
    if (auto it = pending_.find(next_emit_); it != pending_.end()) {
      current_ = std::move(it->second);
      current_next_ = 0;
      pending_.erase(it);
      // A run is never empty unless it failed at once.
      if (current_.samples.empty() && !current_.error) return fail(CacheError::worker_failed());
      // pending_ shrank: another run may go out.
      if (!schedule_available()) return fail(CacheError::worker_failed());
      continue;
    }
    // The positions wanted next may have been given back while every slot
    // was held by runs after them: they go out now, past the bound on runs
    // held (never past the channel's capacity), so that the epoch cannot
    // stall. With the run received next joining pending_ after its slot was
    // refilled, runs held reach max_held_ + 2 at most.
    if (!returned_.empty() && returned_.begin()->first == next_emit_ && in_flight_ < max_held_ &&
        !submit_returned()) {
      return fail(CacheError::worker_failed());
    }
    // The run wanted next is in flight, unless the stream is broken.
    if (in_flight_ == 0) return fail(CacheError::worker_failed());

    // sender_ is alive, so recv() returns only with a message.
    std::optional<Message> message = receiver_.recv();
    if (!message) return fail(CacheError::worker_failed());
    if (!*message) return fail(std::move(*message).error());
    runtime::LoadedRun run = std::move(**message);
    if (in_flight_ == 0) return fail(CacheError::worker_failed());
    --in_flight_;
    if (!run.rest.empty()) {
      const size_t rest_seq = run.first_seq + run.samples.size();
      if (run.error || run.samples.empty() || rest_seq >= next_schedule_ ||
          !returned_.emplace(rest_seq, std::move(run.rest)).second) {
        return fail(CacheError::worker_failed());
      }
    }

    // Keep the pool busy while the host works on what we hand out.
    if (!schedule_available()) return fail(CacheError::worker_failed());

    if (run.first_seq < next_emit_) return fail(CacheError::worker_failed());
    const size_t first_seq = run.first_seq;
    if (!pending_.emplace(first_seq, std::move(run)).second) {
      return fail(CacheError::worker_failed());
    }
  }
}

void RuntimeIterator::release_buffers() {
  pending_.clear();
  returned_.clear();
  current_ = {};
  current_next_ = 0;
  context_->buffers->release_free();
}

void RuntimeIterator::stop() {
  emitted_ = total_;
  context_->cancelled.store(true, std::memory_order_release);
  release_buffers();  // nothing waiting is delivered now
}

Result<std::optional<LoadedSample>> RuntimeIterator::fail(CacheError error) {
  stop();
  return Err(std::move(error));
}

}  // namespace zandrel
