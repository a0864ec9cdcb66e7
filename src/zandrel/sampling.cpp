// The seeded sampler and epoch planning. See sampling.hpp.
#include "zandrel/sampling.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <mutex>
#include <string>

#include "zandrel/samples_metadata.hpp"

namespace zandrel {
namespace sampling {
namespace {

constexpr int kChaChaDoubleRounds = 4;  // 8 rounds
// "expand 32-byte k" as four little-endian words.
constexpr std::array<uint32_t, 4> kChaChaConstants = {0x61707865, 0x3320646e, 0x79622d32,
                                                      0x6b206574};

// PCG32 step and output used by rand_core's seed_from_u64.
constexpr uint64_t kPcgMultiplier = 6364136223846793005ULL;
constexpr uint64_t kPcgIncrement = 11634580027462260723ULL;

__extension__ using Uint128 = unsigned __int128;

// 1 - 2^-52: the largest value of a float draw in [0, 1).
constexpr double kMaxUnitDraw = 1.0 - 0x1p-52;

// Always inlined: with constant indices the state stays in registers.
[[gnu::always_inline]] inline void quarter_round(std::array<uint32_t, 16>& x, int a, int b, int c,
                                                 int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

Result<WeightedIndex> invalid_weights(const char* why) {
  return Err(CacheError::invalid_argument(std::string("invalid weights: ") + why));
}

}  // namespace

ChaCha8Rng ChaCha8Rng::seed_from_u64(uint64_t state) {
  std::array<uint32_t, 8> key;
  for (uint32_t& word : key) {
    state = state * kPcgMultiplier + kPcgIncrement;
    auto xorshifted = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    // 4 little-endian bytes read back as a little-endian key word: the
    // output itself.
    word = std::rotr(xorshifted, static_cast<int>(state >> 59));
  }
  return ChaCha8Rng(key);
}

void ChaCha8Rng::generate_block() {
  std::array<uint32_t, 16> input;
  std::copy(kChaChaConstants.begin(), kChaChaConstants.end(), input.begin());
  std::copy(key_.begin(), key_.end(), input.begin() + 4);
  input[12] = static_cast<uint32_t>(next_block_);
  input[13] = static_cast<uint32_t>(next_block_ >> 32);
  input[14] = 0;  // stream 0
  input[15] = 0;

  std::array<uint32_t, 16> x = input;
  for (int i = 0; i < kChaChaDoubleRounds; ++i) {
    // Column round.
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    // Diagonal round.
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (size_t i = 0; i < 16; ++i) block_[i] = x[i] + input[i];
  ++next_block_;
  next_word_ = 0;
}

uint32_t ChaCha8Rng::next_u32() {
  if (next_word_ == block_.size()) generate_block();
  return block_[next_word_++];
}

uint64_t ChaCha8Rng::next_u64() {
  // rand_chacha reads a 64-bit value as two consecutive keystream words, also
  // across a block boundary.
  uint64_t low = next_u32();
  uint64_t high = next_u32();
  return (high << 32) | low;
}

uint64_t draw_seed(uint64_t seed, uint64_t draw) { return seed ^ std::rotr(draw, 32); }

uint64_t uniform_below(ChaCha8Rng& rng, uint64_t n) {
  if (n == 0) return 0;  // outside the contract; keeps the shift below defined
  uint64_t zone = (n << std::countl_zero(n)) - 1;
  for (;;) {
    Uint128 product = static_cast<Uint128>(rng.next_u64()) * n;
    if (static_cast<uint64_t>(product) <= zone) return static_cast<uint64_t>(product >> 64);
  }
}

Result<WeightedIndex> WeightedIndex::create(std::span<const double> weights) {
  if (weights.empty()) return invalid_weights("there are no weights");
  std::vector<double> cumulative;
  cumulative.reserve(weights.size() - 1);
  double total = weights[0];
  for (size_t i = 1; i < weights.size(); ++i) {
    cumulative.push_back(total);
    total += weights[i];
  }
  if (!std::isfinite(total)) return invalid_weights("the total weight is not finite");
  if (!(total > 0.0)) return invalid_weights("the total weight is not positive");

  // Shrink the scale until the largest unit draw maps below total, as rand's
  // UniformFloat::new(0, total) does; then every draw is in [0, total).
  double scale = total;
  while (scale * kMaxUnitDraw >= total) {
    scale = std::bit_cast<double>(std::bit_cast<uint64_t>(scale) - 1);
  }
  return WeightedIndex(std::move(cumulative), total, scale);
}

size_t WeightedIndex::sample(ChaCha8Rng& rng) const {
  // The top 52 bits as the mantissa of a float in [1, 2), then shifted to [0, 1).
  uint64_t bits = 0x3FF0000000000000ULL | (rng.next_u64() >> 12);
  double unit = std::bit_cast<double>(bits) - 1.0;
  // low is 0.0, so a fused multiply-add would round exactly like the
  // separate product and sum.
  double x = low_ + scale_ * unit;
  return index_for(x);
}

size_t WeightedIndex::index_for(double x) const {
  auto first_above = std::upper_bound(cumulative_.begin(), cumulative_.end(), x);
  return static_cast<size_t>(first_above - cumulative_.begin());
}

Status validate_weights(std::span<const double> weights, size_t expected) {
  if (weights.size() != expected) {
    return Err(CacheError::invalid_argument("expected " + std::to_string(expected) +
                                            " weights, got " + std::to_string(weights.size())));
  }
  for (size_t row = 0; row < weights.size(); ++row) {
    if (!(std::isfinite(weights[row]) && weights[row] > 0.0)) {
      return Err(CacheError::invalid_argument("weight " + std::to_string(row) +
                                              " must be positive and finite"));
    }
  }
  return {};
}

}  // namespace sampling

// ---------------------------------------------------------------------------
// EpochSampler

namespace {

// Advances a draw counter: the counter saturates, the remaining count drops.
// Returns the seed of the draw just taken.
uint64_t take_draw(uint64_t seed, uint64_t& draw, size_t& remaining) {
  uint64_t s = sampling::draw_seed(seed, draw);
  if (draw != std::numeric_limits<uint64_t>::max()) ++draw;
  --remaining;
  return s;
}

}  // namespace

std::optional<size_t> EpochSampler::next() {
  if (auto* uniform = std::get_if<Uniform>(&draws)) {
    if (uniform->remaining == 0) return std::nullopt;
    auto rng = sampling::ChaCha8Rng::seed_from_u64(
        take_draw(uniform->seed, uniform->draw, uniform->remaining));
    return static_cast<size_t>(sampling::uniform_below(rng, uniform->population));
  }
  auto& weighted = std::get<Weighted>(draws);
  if (weighted.remaining == 0) return std::nullopt;
  auto rng = sampling::ChaCha8Rng::seed_from_u64(
      take_draw(weighted.seed, weighted.draw, weighted.remaining));
  return weighted.index.sample(rng);
}

size_t EpochSampler::remaining() const {
  return std::visit([](const auto& d) { return d.remaining; }, draws);
}

// ---------------------------------------------------------------------------
// EpochPlan

size_t EpochPlan::size() const {
  if (const auto* sequential = std::get_if<Sequential>(&kind)) return sequential->len;
  // Every position asked so far used one draw.
  return next_seq + std::get<Sampled>(kind).sampler.remaining();
}

namespace {

// Position r of the rotation starting at `offset`, without overflow:
// (offset + r) mod population for offset < population and r < population.
size_t rotate(size_t offset, size_t r, size_t population) {
  return offset < population - r ? offset + r : offset + r - population;
}

Result<size_t> through_active(const ActiveList& active, size_t position) {
  if (!active) return position;
  if (position >= active->size()) return Err(CacheError::worker_failed());
  return (*active)[position];
}

}  // namespace

Result<size_t> EpochPlan::physical_index(size_t seq) {
  if (seq != next_seq) return Err(CacheError::worker_failed());
  if (auto* sequential = std::get_if<Sequential>(&kind)) {
    if (seq >= sequential->len) return Err(CacheError::worker_failed());
    ++next_seq;
    size_t r = seq % sequential->population;
    return through_active(sequential->active,
                          rotate(sequential->offset, r, sequential->population));
  }
  auto& sampled = std::get<Sampled>(kind);
  std::optional<size_t> index = sampled.sampler.next();
  if (!index) return Err(CacheError::worker_failed());
  ++next_seq;
  return through_active(sampled.active, *index);
}

// ---------------------------------------------------------------------------
// Planning

Result<EpochPlan> plan_epoch(MutableDatasetState& state, uint64_t seed,
                             size_t physical_sample_count) {
  const ActiveMetadataTable* table = state.active_metadata.get();
  const size_t epoch_len = state.epoch_len;

  if (!state.shuffle) {
    ActiveList active = table ? table->active : nullptr;
    size_t population = table ? (active ? active->size() : 0) : physical_sample_count;
    if (population == 0) {
      return Err(CacheError::invalid_argument("cannot iterate an empty active population"));
    }
    // The stored cursor is always below the population; reducing it keeps the
    // rotation in range even if it were not.
    size_t offset = state.sequential_cursor % population;
    EpochPlan plan{EpochPlan::Sequential{epoch_len, offset, population, std::move(active)}};
    state.sequential_cursor = rotate(offset, epoch_len % population, population);
    return plan;
  }

  if (!table && physical_sample_count == 0) {
    return Err(CacheError::invalid_argument("cannot sample from an empty population"));
  }
  const uint64_t start = state.draw_offset;
  uint64_t end;
  if (__builtin_add_overflow(start, static_cast<uint64_t>(epoch_len), &end)) {
    return Err(CacheError::invalid_argument("shuffled draw offset overflowed u64"));
  }
  // The draws are used up now, whether or not the epoch is ever read or the
  // rest of planning succeeds.
  state.draw_offset = end;

  if (!table) {
    EpochSampler sampler{EpochSampler::Uniform{seed, start, epoch_len, physical_sample_count}};
    return EpochPlan{EpochPlan::Sampled{nullptr, std::move(sampler)}};
  }
  ZR_ASSIGN_OR_RETURN(sampling::WeightedIndex index,
                      sampling::WeightedIndex::create(table->weights));
  EpochSampler sampler{EpochSampler::Weighted{std::move(index), seed, start, epoch_len}};
  return EpochPlan{EpochPlan::Sampled{table->active, std::move(sampler)}};
}

Result<EpochPlan> plan_next_epoch(DatasetState& dataset) {
  std::lock_guard lock(dataset.mutable_state_mutex);
  return plan_epoch(dataset.mutable_state, dataset.seed, dataset.physical_sample_count);
}

Status set_epoch_len(DatasetState& dataset, size_t epoch_len) {
  ZR_ASSIGN_OR_RETURN(EpochLen checked, EpochLen::create(epoch_len));
  std::lock_guard lock(dataset.mutable_state_mutex);
  dataset.mutable_state.epoch_len = checked.value;
  return {};
}

}  // namespace zandrel
