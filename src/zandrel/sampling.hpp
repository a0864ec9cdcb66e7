// Epoch plans and the seeded sampler.
//
// Every iterator over a dataset reads one epoch, planned when it is created:
// - unshuffled, a rotation over the population that continues where the
//   previous epoch stopped;
// - shuffled, independent draws with replacement, uniform over the physical
//   samples or weighted by the installed metadata table.
// Draw k of a dataset is computed from (seed, k) alone by a fresh ChaCha8
// generator, so sample order never depends on timing, worker count or
// prefetch depth. The generator, the uniform range draw and the weighted index
// reproduce rand 0.8 / rand_chacha 0.3 bit for bit (ChaCha8Rng::seed_from_u64,
// gen_range over usize, WeightedIndex<f64>).
//
// Threads: everything here is plain data used by one thread at a time. Plans
// are built under the dataset's mutex and then consumed by their iterator on
// the host's calling thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "zandrel/dataset.hpp"
#include "zandrel/types.hpp"

namespace zandrel {
namespace sampling {

// ChaCha with 8 rounds as rand_chacha's ChaCha8Rng: 256-bit key, 64-bit block
// counter in words 12-13 starting at 0, 64-bit stream (nonce) 0 in words
// 14-15. Output is the keystream's 32-bit words, blocks in counter order.
class ChaCha8Rng {
 public:
  explicit ChaCha8Rng(const std::array<uint32_t, 8>& key) : key_(key) {}

  // rand_core's seed_from_u64: the key is eight outputs of a PCG32 stepped
  // from `state`, each stored as 4 little-endian bytes.
  static ChaCha8Rng seed_from_u64(uint64_t state);

  uint32_t next_u32();
  // Two consecutive words, the first as the low half.
  uint64_t next_u64();

 private:
  void generate_block();

  std::array<uint32_t, 8> key_;
  uint64_t next_block_ = 0;           // counter of the next block to generate
  std::array<uint32_t, 16> block_{};  // the current block's keystream words
  size_t next_word_ = 16;             // next unread word of block_; 16 = used up
};

// The seed of draw number `draw`: the two 32-bit halves of `draw` swapped,
// XORed with the dataset seed.
uint64_t draw_seed(uint64_t seed, uint64_t draw);

// A uniform integer in [0, n) by widening multiplication with rejection
// zone (n << leading_zeros(n)) - 1, as rand's single-sample usize range.
// REQUIRES: n >= 1.
uint64_t uniform_below(ChaCha8Rng& rng, uint64_t n);

// Weighted choice of a row, as rand's WeightedIndex<f64>: cumulative sums of
// the first n - 1 weights and a float draw x in [0, total); the row is the
// number of cumulative sums <= x.
class WeightedIndex {
 public:
  // Builds the index from weights in row order. Fails with InvalidArgument
  // "invalid weights: {}" when there are no weights or the total is not a
  // finite positive number (finite weights may still overflow in the sum).
  // The weights are otherwise trusted: validate_weights checks them when a
  // table is installed.
  static Result<WeightedIndex> create(std::span<const double> weights);

  // One draw: the first 64-bit output of `rng` becomes a float in [0, total).
  size_t sample(ChaCha8Rng& rng) const;
  // The row of a float draw: the number of cumulative sums <= x, so an x
  // exactly on a boundary selects the following row.
  size_t index_for(double x) const;

  double total() const { return total_; }
  double scale() const { return scale_; }

 private:
  WeightedIndex(std::vector<double> cumulative, double total, double scale)
      : cumulative_(std::move(cumulative)), total_(total), scale_(scale) {}

  std::vector<double> cumulative_;  // n - 1 running sums, non-decreasing
  double total_;                    // sum of all n weights, finite and > 0
  double low_ = 0.0;                // lower end of the float draw
  double scale_;                    // largest value with scale * (1 - 2^-52) < total
};

// Checks a table's weights: `expected` of them, each finite and > 0.
// Errors: "expected {} weights, got {}", "weight {} must be positive and finite"
// (the row of the first bad weight).
Status validate_weights(std::span<const double> weights, size_t expected);

}  // namespace sampling

// The physical sample index of every row of an installed table.
using ActiveList = std::shared_ptr<const std::vector<size_t>>;

// The draws of one shuffled epoch. Draw numbers saturate at 2^64 - 1.
struct EpochSampler {
  struct Uniform {
    uint64_t seed;
    uint64_t draw;       // number of the next draw
    size_t remaining;    // draws left
    size_t population;   // >= 1
  };
  struct Weighted {
    sampling::WeightedIndex index;
    uint64_t seed;
    uint64_t draw;
    size_t remaining;
  };

  std::variant<Uniform, Weighted> draws;

  // The next population index, or nullopt once no draw remains.
  std::optional<size_t> next();
  size_t remaining() const;
};

// The positions of one epoch, asked for by sequence number 0, 1, ... in turn.
struct EpochPlan {
  struct Sequential {
    size_t len;         // positions in the epoch
    size_t offset;      // first position, below population
    size_t population;  // >= 1
    ActiveList active;  // null without a table
  };
  struct Sampled {
    ActiveList active;  // set exactly when the sampler is weighted
    EpochSampler sampler;
  };

  std::variant<Sequential, Sampled> kind;
  size_t next_seq = 0;  // sequence number expected next

  // The number of positions of the epoch (the epoch length when planned).
  size_t size() const;

  // The physical sample index of sequence number `seq`. Asked once per
  // sequence number in increasing order; asking out of turn, past the end, or
  // meeting a position outside the active list gives
  // CacheError::worker_failed().
  Result<size_t> physical_index(size_t seq);
};

// Plans the next epoch from the dataset's stored position and moves that
// position on at once:
// - unshuffled: the cursor advances by epoch_len mod population;
// - shuffled: the draw offset advances by epoch_len, or the call fails with
//   "shuffled draw offset overflowed u64" and changes nothing. A later failure
//   ("invalid weights: {}") leaves the offset advanced.
// The population is the installed table's rows, else the physical samples.
// REQUIRES: the caller holds the dataset's mutex over `state`.
Result<EpochPlan> plan_epoch(MutableDatasetState& state, uint64_t seed,
                             size_t physical_sample_count);

// plan_epoch under `dataset`'s mutex; the mutex is released on return.
Result<EpochPlan> plan_next_epoch(DatasetState& dataset);

// Sets the length of later epochs: 0 fails with "epoch_len must be at least 1"
// before the mutex is taken. Cursor, draw offset, table and running
// iterators are untouched.
Status set_epoch_len(DatasetState& dataset, size_t epoch_len);

}  // namespace zandrel
