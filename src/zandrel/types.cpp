#include "zandrel/types.hpp"

#include <cmath>
#include <cstring>

namespace zandrel {

CacheError CacheError::io(int errnum) {
  // The operating system's text followed by the errno value, so that a
  // message stays identifiable whatever the locale's wording.
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return CacheError(Kind::kIo, std::string(text) + " (os error " + std::to_string(errnum) + ")");
}

std::string CacheError::to_string() const {
  switch (kind_) {
    case Kind::kIo:
      return "I/O error: " + message_;
    case Kind::kJson:
      return "JSON error: " + message_;
    case Kind::kArrow:
      return "Arrow error: " + message_;
    case Kind::kPython:
      return "Python error: " + message_;
    case Kind::kWorkerFailed:
      return "runtime worker failed";
    case Kind::kInvalidArgument:
    case Kind::kInvalidCache:
    case Kind::kInterrupted:
    case Kind::kExit:
      break;
  }
  return message_;
}

PyErrSpec into_py_err(CacheError error) {
  switch (error.kind()) {
    case CacheError::Kind::kInvalidArgument:
    case CacheError::Kind::kInvalidCache:
      return {PyErrSpec::Type::kValueError, error.message()};
    case CacheError::Kind::kInterrupted:
      return {PyErrSpec::Type::kKeyboardInterrupt, error.message()};
    case CacheError::Kind::kExit:
      return {PyErrSpec::Type::kSystemExit, error.message()};
    default:
      return {PyErrSpec::Type::kRuntimeError, error.to_string()};
  }
}

std::string_view to_string(CompressionAlgo algo) {
  return algo == CompressionAlgo::kLz4 ? "lz4" : "none";
}

Result<ShardCompression> ShardCompression::create(CompressionAlgo algo, double ratio) {
  if (!std::isfinite(ratio) || !(ratio > 0.0)) {
    return Err(CacheError::invalid_argument("shard_compression.ratio must be positive and finite"));
  }
  if (algo == CompressionAlgo::kNone && ratio != 1.0) {
    return Err(CacheError::invalid_argument(
        "shard_compression.ratio must be 1.0 when algo is 'none'"));
  }
  return ShardCompression{algo, ratio};
}

Result<MaxShardBytes> MaxShardBytes::create(uint64_t value) {
  if (value == 0) return Err(CacheError::invalid_argument("max_shard_bytes must be greater than zero"));
  return MaxShardBytes{value};
}

Result<PrefetchSize> PrefetchSize::create(size_t value) {
  if (value == 0) return Err(CacheError::invalid_argument("prefetch_size must be greater than zero"));
  return PrefetchSize{value};
}

Result<EpochLen> EpochLen::create(size_t value) {
  if (value == 0) return Err(CacheError::invalid_argument("epoch_len must be at least 1"));
  return EpochLen{value};
}

std::string_view to_string(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::kBool:
      return "bool";
    case MetadataKind::kInt:
      return "int";
    case MetadataKind::kFloat:
      return "float";
    case MetadataKind::kString:
      return "string";
  }
  return "string";
}

}  // namespace zandrel
