#include "zandrel/types.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>
#include <tuple>

namespace zandrel {
namespace {

TEST(CacheError, HostExceptionMapping) {
  using Type = PyErrSpec::Type;
  const std::string kCacheMessage = "index length is not divisible by row size";
  const std::tuple<CacheError, Type, std::string> cases[] = {
      {CacheError::worker_failed(), Type::kRuntimeError, "runtime worker failed"},
      {CacheError::invalid_cache(kCacheMessage), Type::kValueError, kCacheMessage},
      {CacheError::interrupted("KeyboardInterrupt: stop"), Type::kKeyboardInterrupt, "KeyboardInterrupt: stop"},
      {CacheError::exit("SystemExit: 3"), Type::kSystemExit, "SystemExit: 3"},
      {CacheError::python("TypeError: x"), Type::kRuntimeError, "Python error: TypeError: x"},
      {CacheError::json("expected value"), Type::kRuntimeError, "JSON error: expected value"},
  };
  for (const auto& [error, type, argument] : cases) {
    const PyErrSpec spec = into_py_err(error);
    EXPECT_EQ(spec.type, type) << argument;
    EXPECT_EQ(spec.argument, argument);
  }
  EXPECT_TRUE(into_py_err(CacheError::io(ENOENT)).argument.starts_with("I/O error: "));
}

TEST(Settings, CheckOrderAndMessages) {
  auto err = [](const auto& result) { return result ? std::string() : result.error().to_string(); };
  const std::string kNotFinite = "shard_compression.ratio must be positive and finite";
  const std::string kNotOne = "shard_compression.ratio must be 1.0 when algo is 'none'";
  const std::tuple<CompressionAlgo, double, std::string> ratios[] = {
      {CompressionAlgo::kNone, std::nan(""), kNotFinite},  // finiteness is checked first
      {CompressionAlgo::kNone, 2.0, kNotOne},
      {CompressionAlgo::kNone, 1.0, ""},
      {CompressionAlgo::kLz4, 0.25, ""},
      {CompressionAlgo::kLz4, -0.0, kNotFinite},
      {CompressionAlgo::kLz4, std::numeric_limits<double>::infinity(), kNotFinite},
      {CompressionAlgo::kLz4, std::numeric_limits<double>::denorm_min(), ""},
  };
  for (const auto& [algo, ratio, message] : ratios) {
    EXPECT_EQ(err(ShardCompression::create(algo, ratio)), message) << ratio;
  }

  EXPECT_EQ(err(MaxShardBytes::create(0)), "max_shard_bytes must be greater than zero");
  EXPECT_EQ(MaxShardBytes::create(1)->value, 1u);
  EXPECT_EQ(err(PrefetchSize::create(0)), "prefetch_size must be greater than zero");
  EXPECT_EQ(err(EpochLen::create(0)), "epoch_len must be at least 1");
  EXPECT_EQ(EpochLen::create(SIZE_MAX)->value, SIZE_MAX);
}

}  // namespace
}  // namespace zandrel
