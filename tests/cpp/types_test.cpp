#include "zandrel/types.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

namespace zandrel {
namespace {

TEST(CacheError, HostExceptionMapping) {
  auto spec = into_py_err(CacheError::worker_failed());
  EXPECT_EQ(spec.type, PyErrSpec::Type::kRuntimeError);
  EXPECT_EQ(spec.argument, "runtime worker failed");

  spec = into_py_err(CacheError::invalid_cache("index length is not divisible by row size"));
  EXPECT_EQ(spec.type, PyErrSpec::Type::kValueError);
  EXPECT_EQ(spec.argument, "index length is not divisible by row size");

  spec = into_py_err(CacheError::io(ENOENT));
  EXPECT_EQ(spec.type, PyErrSpec::Type::kRuntimeError);
  EXPECT_EQ(spec.argument.rfind("I/O error: ", 0), 0u) << spec.argument;

  spec = into_py_err(CacheError::interrupted("KeyboardInterrupt: stop"));
  EXPECT_EQ(spec.type, PyErrSpec::Type::kKeyboardInterrupt);
  EXPECT_EQ(spec.argument, "KeyboardInterrupt: stop");
  EXPECT_EQ(into_py_err(CacheError::exit("SystemExit: 3")).type, PyErrSpec::Type::kSystemExit);
  EXPECT_EQ(into_py_err(CacheError::python("TypeError: x")).argument, "Python error: TypeError: x");
}

TEST(Settings, ShardCompressionChecksFinitenessFirst) {
  auto err = [](CompressionAlgo algo, double ratio) {
    auto r = ShardCompression::create(algo, ratio);
    return r ? std::string() : r.error().to_string();
  };
  const std::string kNotFinite = "shard_compression.ratio must be positive and finite";
  const std::string kNotOne = "shard_compression.ratio must be 1.0 when algo is 'none'";
  EXPECT_EQ(err(CompressionAlgo::kNone, std::nan("")), kNotFinite);
  EXPECT_EQ(err(CompressionAlgo::kNone, 2.0), kNotOne);
  EXPECT_EQ(err(CompressionAlgo::kNone, 1.0), "");
  EXPECT_EQ(err(CompressionAlgo::kLz4, 0.25), "");
  EXPECT_EQ(err(CompressionAlgo::kLz4, -0.0), kNotFinite);
  EXPECT_EQ(err(CompressionAlgo::kLz4, 0.0), kNotFinite);
  EXPECT_EQ(err(CompressionAlgo::kLz4, std::numeric_limits<double>::infinity()), kNotFinite);
  EXPECT_EQ(err(CompressionAlgo::kLz4, std::numeric_limits<double>::denorm_min()), "");
}

TEST(Settings, CountsRefuseZeroOnly) {
  EXPECT_EQ(MaxShardBytes::create(0).error().to_string(), "max_shard_bytes must be greater than zero");
  EXPECT_EQ(MaxShardBytes::create(1)->value, 1u);
  EXPECT_EQ(PrefetchSize::create(0).error().to_string(), "prefetch_size must be greater than zero");
  EXPECT_EQ(EpochLen::create(0).error().to_string(), "epoch_len must be at least 1");
  EXPECT_EQ(EpochLen::create(SIZE_MAX)->value, SIZE_MAX);
}

}  // namespace
}  // namespace zandrel
