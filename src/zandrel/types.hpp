// Shared value types of zandrel: the one error type, the validated settings
// and the metadata value types.
//
// Every fallible operation returns Result<T> = std::expected<T, CacheError>;
// nothing throws across module boundaries. A CacheError becomes a Python
// exception only at the host boundary, through into_py_err().
//
// All types here are plain values: they may be created on any thread and moved
// between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace zandrel {

// ---------------------------------------------------------------------------
// CacheError

class CacheError {
 public:
  // The nine variants, in their fixed order.
  enum class Kind : uint8_t {
    kInvalidArgument,  // message is the display text
    kInvalidCache,     // message is the display text
    kIo,               // message is the operating system's text
    kJson,             // message is the JSON reader's or writer's text
    kArrow,            // message is Arrow's status text
    kPython,           // message describes an exception raised by host code
    kInterrupted,      // message describes a host KeyboardInterrupt
    kExit,             // message describes a host SystemExit
    kWorkerFailed,     // no message
  };

  static CacheError invalid_argument(std::string message) {
    return CacheError(Kind::kInvalidArgument, std::move(message));
  }
  static CacheError invalid_cache(std::string message) {
    return CacheError(Kind::kInvalidCache, std::move(message));
  }
  // An I/O error from an errno value: "<strerror text> (os error N)".
  static CacheError io(int errnum);
  // An I/O error whose text is given, for conditions without an errno
  // (for example a read that ended before the bytes it needed).
  static CacheError io_message(std::string message) {
    return CacheError(Kind::kIo, std::move(message));
  }
  static CacheError json(std::string message) {
    return CacheError(Kind::kJson, std::move(message));
  }
  static CacheError arrow(std::string message) {
    return CacheError(Kind::kArrow, std::move(message));
  }
  static CacheError python(std::string message) {
    return CacheError(Kind::kPython, std::move(message));
  }
  static CacheError interrupted(std::string message) {
    return CacheError(Kind::kInterrupted, std::move(message));
  }
  static CacheError exit(std::string message) {
    return CacheError(Kind::kExit, std::move(message));
  }
  static CacheError worker_failed() { return CacheError(Kind::kWorkerFailed, {}); }

  Kind kind() const { return kind_; }
  // The payload text (empty for kWorkerFailed); the display text is to_string().
  const std::string& message() const { return message_; }
  // The display text: "I/O error: ...", "JSON error: ...", "Arrow error: ...",
  // "Python error: ...", "runtime worker failed", or the message itself.
  std::string to_string() const;

  bool operator==(const CacheError&) const = default;

 private:
  CacheError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
};

template <typename T>
using Result = std::expected<T, CacheError>;
using Status = Result<void>;

inline std::unexpected<CacheError> Err(CacheError error) {
  return std::unexpected<CacheError>(std::move(error));
}

// The host exception an error becomes: its type and its single str argument.
struct PyErrSpec {
  enum class Type : uint8_t { kValueError, kRuntimeError, kKeyboardInterrupt, kSystemExit };
  Type type;
  std::string argument;
};

// InvalidArgument and InvalidCache give ValueError with the message;
// Interrupted gives KeyboardInterrupt and Exit SystemExit with their text;
// every other variant gives RuntimeError with the display text.
PyErrSpec into_py_err(CacheError error);

}  // namespace zandrel

// Early-return helpers that keep the happy path flat.
#define ZANDREL_CONCAT_INNER(a, b) a##b
#define ZANDREL_CONCAT(a, b) ZANDREL_CONCAT_INNER(a, b)

// Evaluates an expression of type Result<void> (or any Result<T>) and returns
// its error from the enclosing function.
#define ZR_RETURN_IF_ERROR(expr)                                     \
  do {                                                               \
    auto&& zr_status_ = (expr);                                      \
    if (!zr_status_) return ::zandrel::Err(std::move(zr_status_).error()); \
  } while (0)

#define ZR_ASSIGN_OR_RETURN_IMPL(tmp, lhs, expr)          \
  auto tmp = (expr);                                      \
  if (!tmp) return ::zandrel::Err(std::move(tmp).error()); \
  lhs = std::move(*tmp)

// `ZR_ASSIGN_OR_RETURN(auto x, f());` declares x from the value of f() or
// returns its error.
#define ZR_ASSIGN_OR_RETURN(lhs, expr) \
  ZR_ASSIGN_OR_RETURN_IMPL(ZANDREL_CONCAT(zr_result_, __LINE__), lhs, expr)

namespace zandrel {

// ---------------------------------------------------------------------------
// Validated settings. Each is made only through its checking constructor.

enum class CompressionAlgo : uint8_t {
  kNone = 0,  // "none": payloads stored raw
  kLz4 = 1,   // "lz4": payloads stored as size-prefixed LZ4 blocks
};

std::string_view to_string(CompressionAlgo algo);

struct ShardCompression {
  CompressionAlgo algo = CompressionAlgo::kNone;
  // Recorded in the manifest and read back; it decides nothing.
  double ratio = 1.0;

  // Checks, in order: ratio finite and > 0; ratio exactly 1.0 when algo is none.
  static Result<ShardCompression> create(CompressionAlgo algo, double ratio);

  bool operator==(const ShardCompression&) const = default;
};

struct MaxShardBytes {
  uint64_t value;
  static Result<MaxShardBytes> create(uint64_t value);
};

struct PrefetchSize {
  size_t value;
  static Result<PrefetchSize> create(size_t value);
};

struct EpochLen {
  size_t value;
  static Result<EpochLen> create(size_t value);
};

// ---------------------------------------------------------------------------
// Metadata values

enum class MetadataKind : uint8_t { kBool = 0, kInt = 1, kFloat = 2, kString = 3 };

// "bool", "int", "float" or "string": the display text and the JSON string.
std::string_view to_string(MetadataKind kind);

struct MetadataField {
  std::string name;
  MetadataKind kind;

  bool operator==(const MetadataField&) const = default;
};

using MetadataSchema = std::vector<MetadataField>;

// The alternatives stand in MetadataKind order, so index() is the kind.
// Equality is the variant's: same alternative and equal contents, floats
// compared as IEEE doubles (NaN equals nothing, 0.0 equals -0.0).
using MetadataValue = std::variant<bool, int64_t, double, std::string>;

inline MetadataKind kind_of(const MetadataValue& value) {
  return static_cast<MetadataKind>(value.index());
}

// One value per schema field, in schema order.
using MetadataRow = std::vector<MetadataValue>;

// Keys unique and iterated in ascending byte order (std::string compares its
// bytes as unsigned char).
using MetadataMap = std::map<std::string, MetadataValue, std::less<>>;

}  // namespace zandrel
