#include "zandrel/sampling.hpp"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "zandrel/samples_metadata.hpp"

namespace zandrel {
namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();
constexpr size_t kMaxSize = std::numeric_limits<size_t>::max();

std::shared_ptr<ActiveMetadataTable> table(std::vector<double> weights, std::vector<size_t> active) {
  auto t = std::make_shared<ActiveMetadataTable>();
  t->weights = std::move(weights);
  t->active = std::make_shared<const std::vector<size_t>>(std::move(active));
  return t;
}

std::vector<uint64_t> draws(EpochSampler sampler) {
  std::vector<uint64_t> out;
  while (std::optional<size_t> index = sampler.next()) out.push_back(*index);
  return out;
}

std::vector<uint64_t> u64s(const rapidjson::Value& array) {
  std::vector<uint64_t> out;
  for (const auto& v : array.GetArray()) out.push_back(v.GetUint64());
  return out;
}

// Every physical index of a plan, in sequence order; asking past the end fails.
std::vector<size_t> positions(EpochPlan plan) {
  std::vector<size_t> out;
  for (size_t seq = 0, n = plan.size(); seq < n; ++seq) out.push_back(plan.physical_index(seq).value());
  EXPECT_EQ(plan.physical_index(plan.size()).error(), CacheError::worker_failed());
  return out;
}

TEST(Sampling, MatchesEveryReferenceVector) {
  const std::string path = std::string(ZANDREL_TESTDATA_DIR) + "/sampler_vectors.json";
  std::ifstream file(path);
  ASSERT_TRUE(file.is_open()) << "cannot open the reference vectors " << path;
  std::string text(std::istreambuf_iterator<char>(file), {});
  rapidjson::Document doc;
  // Full precision: the weights must be the exact doubles of their text.
  doc.Parse<rapidjson::kParseFullPrecisionFlag>(text.c_str());
  ASSERT_TRUE(doc.IsObject() && doc.HasMember("raw_u64") && doc.HasMember("draw_seed") &&
              doc.HasMember("uniform") && doc.HasMember("weighted"))
      << path << " is not the reference vectors file";
  for (const auto& c : doc["raw_u64"].GetArray()) {
    auto rng = sampling::ChaCha8Rng::seed_from_u64(c["s"].GetUint64());
    std::vector<uint64_t> expected = u64s(c["first_u64"]), got;
    for (size_t i = 0; i < expected.size(); ++i) got.push_back(rng.next_u64());
    EXPECT_EQ(got, expected) << "s = " << c["s"].GetUint64();
  }
  for (const auto& c : doc["draw_seed"].GetArray()) {
    EXPECT_EQ(sampling::draw_seed(c["seed"].GetUint64(), c["draw"].GetUint64()), c["s"].GetUint64());
  }
  for (const auto& c : doc["uniform"].GetArray()) {
    EpochSampler sampler{EpochSampler::Uniform{c["seed"].GetUint64(), c["start"].GetUint64(),
                                               c["count"].GetUint64(), c["population"].GetUint64()}};
    EXPECT_EQ(draws(std::move(sampler)), u64s(c["indices"])) << c["population"].GetUint64();
  }
  for (const auto& c : doc["weighted"].GetArray()) {
    std::vector<double> weights;
    for (const auto& w : c["weights"].GetArray()) weights.push_back(w.GetDouble());
    EpochSampler sampler{EpochSampler::Weighted{sampling::WeightedIndex::create(weights).value(),
                                                c["seed"].GetUint64(), c["start"].GetUint64(),
                                                c["count"].GetUint64()}};
    EXPECT_EQ(draws(std::move(sampler)), u64s(c["indices"])) << weights.size() << " weights";
  }
}

TEST(Sampling, WeightedIndexEdges) {
  // A draw exactly on a cumulative boundary selects the next row.
  auto thirds = sampling::WeightedIndex::create(std::vector<double>{1.0, 1.0, 1.0}).value();
  EXPECT_EQ(thirds.index_for(std::nextafter(1.0, 0.0)), 0u);
  EXPECT_EQ(thirds.index_for(1.0), 1u);
  EXPECT_EQ(thirds.index_for(2.0), 2u);

  // The largest draw stays below the total, also for subnormal weights; with
  // one row every draw is row 0.
  const double kTiny = std::numeric_limits<double>::denorm_min();
  for (std::vector<double> weights : {std::vector<double>{kTiny}, {kTiny, kTiny, 3 * kTiny},
                                      {0.1, 0.2, 0.7}, {1e307, 2e307, 1e307}}) {
    auto index = sampling::WeightedIndex::create(weights).value();
    double largest = index.scale() * (1.0 - 0x1p-52);
    EXPECT_LT(largest, index.total());
    EXPECT_EQ(index.index_for(largest), weights.size() - 1);
  }
  EXPECT_EQ(sampling::WeightedIndex::create(std::vector<double>{1e308, 1e308}).error(),
            CacheError::invalid_argument("invalid weights: the total weight is not finite"));

  EXPECT_TRUE(sampling::validate_weights(std::vector<double>{1.0, kTiny}, 2));
  EXPECT_EQ(sampling::validate_weights(std::vector<double>{1.0, -0.0}, 2).error().message(),
            "weight 1 must be positive and finite");
  EXPECT_EQ(sampling::validate_weights(std::vector<double>{1.0}, 3).error().message(),
            "expected 3 weights, got 1");
}

TEST(Sampling, SequentialPlansRotateWithoutOverflow) {
  MutableDatasetState state{.active_metadata = nullptr, .epoch_len = 7};
  EXPECT_EQ(positions(plan_epoch(state, 0, 3).value()), (std::vector<size_t>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(state.sequential_cursor, 1u);

  state = MutableDatasetState{.active_metadata = nullptr, .epoch_len = 4};
  state.sequential_cursor = kMaxSize - 2;
  EXPECT_EQ(positions(plan_epoch(state, 0, kMaxSize).value()),
            (std::vector<size_t>{kMaxSize - 2, kMaxSize - 1, 0, 1}));
  EXPECT_EQ(state.sequential_cursor, 2u);

  // With a table, positions go through the active list.
  state = MutableDatasetState{.active_metadata = table({1.0, 1.0}, {9, 4}), .epoch_len = 3};
  EXPECT_EQ(positions(plan_epoch(state, 0, 100).value()), (std::vector<size_t>{9, 4, 9}));

  // Planning under the dataset's mutex uses the epoch length set last.
  DatasetState dataset;
  dataset.physical_sample_count = 3;
  dataset.mutable_state.epoch_len = 3;
  EXPECT_EQ(set_epoch_len(dataset, 0).error(), CacheError::invalid_argument("epoch_len must be at least 1"));
  ASSERT_TRUE(set_epoch_len(dataset, 5));
  EXPECT_EQ(positions(plan_next_epoch(dataset).value()), (std::vector<size_t>{0, 1, 2, 0, 1}));
  EXPECT_EQ(dataset.mutable_state.sequential_cursor, 2u);
}

TEST(Sampling, ShuffledPlansAdvanceTheDrawOffsetUpToTheU64Limit) {
  MutableDatasetState state{.active_metadata = nullptr, .epoch_len = 4, .shuffle = true};
  state.draw_offset = kMaxU64 - 3;
  const auto kOverflow = CacheError::invalid_argument("shuffled draw offset overflowed u64");
  EXPECT_EQ(plan_epoch(state, 99, 5).error(), kOverflow);
  EXPECT_EQ(state.draw_offset, kMaxU64 - 3);
  state.epoch_len = 1;
  std::vector<size_t> drawn = positions(plan_epoch(state, 99, 5).value());
  state.epoch_len = 2;  // ends exactly at 2^64 - 1
  for (size_t index : positions(plan_epoch(state, 99, 5).value())) drawn.push_back(index);
  EXPECT_EQ(state.draw_offset, kMaxU64);
  EXPECT_EQ(plan_epoch(state, 99, 5).error(), kOverflow);
  // Consecutive epochs continue the draws of one long epoch.
  EXPECT_EQ(drawn, draws(EpochSampler{EpochSampler::Uniform{99, kMaxU64 - 3, 3, 5}}));

  // Weighted draws map rows through the active list; an overflowing total
  // fails but still uses up the draws.
  auto weighted = table({1.0, 3.0}, {7, 8});
  state = MutableDatasetState{.active_metadata = weighted, .epoch_len = 64, .shuffle = true};
  for (size_t physical : positions(plan_epoch(state, 1, 100).value())) {
    EXPECT_TRUE(physical == 7 || physical == 8);
  }
  weighted->weights = {1e308, 1e308};
  EXPECT_EQ(plan_epoch(state, 1, 100).error().kind(), CacheError::Kind::kInvalidArgument);
  EXPECT_EQ(state.draw_offset, 128u);
}

}  // namespace
}  // namespace zandrel
