#include "zandrel/sampling.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "zandrel/samples_metadata.hpp"

namespace zandrel {
namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();
constexpr size_t kMaxSize = std::numeric_limits<size_t>::max();

MutableDatasetState dataset_position(size_t epoch_len, bool shuffle,
                                     std::shared_ptr<const ActiveMetadataTable> table = nullptr) {
  MutableDatasetState state;
  state.active_metadata = std::move(table);
  state.epoch_len = epoch_len;
  state.shuffle = shuffle;
  return state;
}

class SamplerVectors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream file(std::string(ZANDREL_TESTDATA_DIR) + "/sampler_vectors.json");
    std::stringstream text;
    text << file.rdbuf();
    // Full precision: the weights must be the exact doubles of their text.
    doc_.Parse<rapidjson::kParseFullPrecisionFlag>(text.str().c_str());
    ASSERT_FALSE(doc_.HasParseError());
  }
  // A top-level array of the file; an empty one (and a failure) if missing.
  static const rapidjson::Value& section(const char* name) {
    static const rapidjson::Value kMissing(rapidjson::kArrayType);
    if (doc_.IsObject() && doc_.HasMember(name) && doc_[name].IsArray()) return doc_[name];
    ADD_FAILURE() << "sampler_vectors.json has no array '" << name << "'";
    return kMissing;
  }
  // Every index the sampler draws.
  static std::vector<uint64_t> draws(EpochSampler sampler) {
    std::vector<uint64_t> out;
    while (std::optional<size_t> index = sampler.next()) out.push_back(*index);
    return out;
  }
  static std::vector<uint64_t> u64s(const rapidjson::Value& array) {
    std::vector<uint64_t> out;
    for (const auto& v : array.GetArray()) out.push_back(v.GetUint64());
    return out;
  }
  static inline rapidjson::Document doc_;
};

TEST_F(SamplerVectors, GeneratorAndDrawSeeds) {
  for (const auto& c : section("raw_u64").GetArray()) {
    auto rng = sampling::ChaCha8Rng::seed_from_u64(c["s"].GetUint64());
    std::vector<uint64_t> expected = u64s(c["first_u64"]), got;
    for (size_t i = 0; i < expected.size(); ++i) got.push_back(rng.next_u64());
    EXPECT_EQ(got, expected) << "s = " << c["s"].GetUint64();
  }
  for (const auto& c : section("draw_seed").GetArray()) {
    EXPECT_EQ(sampling::draw_seed(c["seed"].GetUint64(), c["draw"].GetUint64()),
              c["s"].GetUint64());
  }
  // A 64-bit read joins the next two words of the stream, also when it
  // starts on the last word of a 16-word block.
  auto words = sampling::ChaCha8Rng::seed_from_u64(42);
  auto mixed = sampling::ChaCha8Rng::seed_from_u64(42);
  std::vector<uint32_t> stream;
  for (int i = 0; i < 40; ++i) stream.push_back(words.next_u32());
  EXPECT_EQ(mixed.next_u32(), stream[0]);
  for (size_t i = 1; i + 1 < stream.size(); i += 2) {
    EXPECT_EQ(mixed.next_u64(), stream[i] | uint64_t{stream[i + 1]} << 32) << "word " << i;
  }
}

TEST_F(SamplerVectors, UniformAndWeightedDraws) {
  for (const auto& c : section("uniform").GetArray()) {
    EpochSampler sampler{EpochSampler::Uniform{c["seed"].GetUint64(), c["start"].GetUint64(),
                                               c["count"].GetUint64(),
                                               c["population"].GetUint64()}};
    EXPECT_EQ(draws(std::move(sampler)), u64s(c["indices"]))
        << "population " << c["population"].GetUint64();
  }
  for (const auto& c : section("weighted").GetArray()) {
    std::vector<double> weights;
    for (const auto& w : c["weights"].GetArray()) weights.push_back(w.GetDouble());
    auto index = sampling::WeightedIndex::create(weights);
    ASSERT_TRUE(index);
    EpochSampler sampler{EpochSampler::Weighted{*index, c["seed"].GetUint64(),
                                                c["start"].GetUint64(), c["count"].GetUint64()}};
    EXPECT_EQ(draws(std::move(sampler)), u64s(c["indices"])) << weights.size() << " weights";
  }
}

TEST(Sampling, WeightedIndexEdges) {
  auto rng = sampling::ChaCha8Rng::seed_from_u64(3);
  // One row: every draw is row 0.
  auto one = sampling::WeightedIndex::create(std::vector<double>{0.25});
  ASSERT_TRUE(one);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(one->sample(rng), 0u);

  // A draw exactly on a cumulative boundary selects the next row.
  auto thirds = sampling::WeightedIndex::create(std::vector<double>{1.0, 1.0, 1.0});
  ASSERT_TRUE(thirds);
  EXPECT_EQ(thirds->index_for(std::nextafter(1.0, 0.0)), 0u);
  EXPECT_EQ(thirds->index_for(1.0), 1u);
  EXPECT_EQ(thirds->index_for(2.0), 2u);

  // Subnormal weights, and totals whose largest draw must stay below them.
  const double kTiny = std::numeric_limits<double>::denorm_min();
  for (std::vector<double> weights : {std::vector<double>{kTiny}, {kTiny, kTiny, 3 * kTiny},
                                      {0.1, 0.2, 0.7}, {1e307, 2e307, 1e307}}) {
    auto index = sampling::WeightedIndex::create(weights);
    ASSERT_TRUE(index);
    double largest = index->scale() * (1.0 - 0x1p-52);
    EXPECT_LT(largest, index->total());
    // The scale shrinks from the total only as far as needed.
    if (index->scale() < index->total()) {
      EXPECT_GE(std::nextafter(index->scale(), INFINITY) * (1.0 - 0x1p-52), index->total());
    }
    EXPECT_EQ(index->index_for(largest), weights.size() - 1);
  }
  auto subnormal = sampling::WeightedIndex::create(std::vector<double>{kTiny, kTiny});
  EXPECT_EQ(subnormal->index_for(kTiny), 1u);

  // Finite weights whose sum overflows.
  auto overflow = sampling::WeightedIndex::create(std::vector<double>{1e308, 1e308});
  ASSERT_FALSE(overflow);
  EXPECT_EQ(overflow.error(),
            CacheError::invalid_argument("invalid weights: the total weight is not finite"));

  EXPECT_TRUE(sampling::validate_weights(std::vector<double>{1.0, kTiny}, 2));
  EXPECT_EQ(sampling::validate_weights(std::vector<double>{1.0, -0.0}, 2).error().message(),
            "weight 1 must be positive and finite");
  EXPECT_EQ(sampling::validate_weights(std::vector<double>{NAN}, 1).error().message(),
            "weight 0 must be positive and finite");
  EXPECT_EQ(sampling::validate_weights(std::vector<double>{1.0}, 3).error().message(),
            "expected 3 weights, got 1");
}

// Every physical index of a plan, in sequence order.
std::vector<size_t> positions(EpochPlan plan) {
  std::vector<size_t> out;
  for (size_t seq = 0, n = plan.size(); seq < n; ++seq) out.push_back(plan.physical_index(seq).value());
  EXPECT_EQ(plan.physical_index(plan.size()).error(), CacheError::worker_failed());
  return out;
}

TEST(Sampling, SequentialPlansRotateWithoutOverflow) {
  MutableDatasetState state = dataset_position(7, false);
  EXPECT_EQ(positions(plan_epoch(state, 0, 3).value()),
            (std::vector<size_t>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(state.sequential_cursor, 1u);
  state.epoch_len = 6;  // a multiple of the population: the cursor stays
  ASSERT_TRUE(plan_epoch(state, 0, 3));
  EXPECT_EQ(state.sequential_cursor, 1u);

  // Near the usize limit the rotation wraps instead of overflowing.
  state = dataset_position(4, false);
  state.sequential_cursor = kMaxSize - 2;
  EXPECT_EQ(positions(plan_epoch(state, 0, kMaxSize).value()),
            (std::vector<size_t>{kMaxSize - 2, kMaxSize - 1, 0, 1}));
  EXPECT_EQ(state.sequential_cursor, 2u);

  // With a table, positions go through the active list.
  auto table = std::make_shared<ActiveMetadataTable>();
  table->weights = {1.0, 1.0};
  table->active = std::make_shared<const std::vector<size_t>>(std::vector<size_t>{9, 4});
  state = dataset_position(3, false, table);
  EXPECT_EQ(positions(plan_epoch(state, 0, 100).value()), (std::vector<size_t>{9, 4, 9}));

  // Positions are asked once each, in order.
  auto plan = plan_epoch(state, 0, 100).value();
  EXPECT_EQ(plan.physical_index(1).error(), CacheError::worker_failed());
}

TEST(Sampling, ShuffledPlansAdvanceTheDrawOffsetUpToTheU64Limit) {
  MutableDatasetState state = dataset_position(4, true);
  state.draw_offset = kMaxU64 - 3;
  const auto kOverflow = CacheError::invalid_argument("shuffled draw offset overflowed u64");
  auto refused = plan_epoch(state, 99, 5);
  EXPECT_EQ(refused.error(), kOverflow);
  EXPECT_EQ(state.draw_offset, kMaxU64 - 3);
  state.epoch_len = 1;
  std::vector<size_t> first = positions(plan_epoch(state, 99, 5).value());
  state.epoch_len = 2;  // ends exactly at 2^64 - 1
  std::vector<size_t> second = positions(plan_epoch(state, 99, 5).value());
  EXPECT_EQ(state.draw_offset, kMaxU64);
  EXPECT_EQ(plan_epoch(state, 99, 5).error(), kOverflow);

  // Consecutive epochs continue the draws of one long epoch.
  first.insert(first.end(), second.begin(), second.end());
  EpochSampler whole{EpochSampler::Uniform{99, kMaxU64 - 3, 3, 5}};
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(first[i], whole.next().value());

  // Weighted draws map rows through the active list; an overflowing total
  // fails but still uses up the draws.
  auto table = std::make_shared<ActiveMetadataTable>();
  table->weights = {1.0, 3.0};
  table->active = std::make_shared<const std::vector<size_t>>(std::vector<size_t>{7, 8});
  state = dataset_position(64, true, table);
  for (size_t physical : positions(plan_epoch(state, 1, 100).value())) {
    EXPECT_TRUE(physical == 7 || physical == 8);
  }
  table->weights = {1e308, 1e308};
  auto invalid = plan_epoch(state, 1, 100);
  EXPECT_EQ(invalid.error().kind(), CacheError::Kind::kInvalidArgument);
  EXPECT_EQ(state.draw_offset, 128u);
}

TEST(Sampling, EpochLengthAndLockedPlanning) {
  DatasetState dataset;
  dataset.physical_sample_count = 3;
  dataset.mutable_state.epoch_len = 3;
  EXPECT_EQ(set_epoch_len(dataset, 0).error(),
            CacheError::invalid_argument("epoch_len must be at least 1"));
  EXPECT_EQ(dataset.mutable_state.epoch_len, 3u);
  ASSERT_TRUE(set_epoch_len(dataset, 5));
  EXPECT_EQ(plan_next_epoch(dataset).value().size(), 5u);
  EXPECT_EQ(dataset.mutable_state.sequential_cursor, 2u);
}

}  // namespace
}  // namespace zandrel
