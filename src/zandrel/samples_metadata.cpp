// Writing and checking the samples metadata table (see samples_metadata.hpp).
#include "zandrel/samples_metadata.hpp"

#include <arrow/api.h>
#include <arrow/io/memory.h>
#include <arrow/ipc/reader.h>
#include <arrow/ipc/writer.h>
#include <arrow/util/bit_util.h>

#include <cstdint>
#include <string>
#include <utility>

#include "zandrel/sampling.hpp"
#include "zandrel/storage/loader.hpp"
#include "zandrel/storage/metadata_arrow.hpp"

namespace zandrel::samples_metadata {
namespace {

constexpr std::string_view kCacheIdColumn = "cache_id";
constexpr std::string_view kSampleIdColumn = "sample_id";
constexpr std::string_view kWeightColumn = "weight";

// "samples metadata column '<name>' <what>".
std::string column_message(std::string_view name, std::string_view what) {
  std::string message = "samples metadata column '";
  message += name;
  message += "' ";
  message += what;
  return message;
}

Status from_arrow(const arrow::Status& status) {
  if (!status.ok()) return Err(CacheError::arrow(status.ToString()));
  return {};
}

template <typename T>
Result<T> from_arrow(arrow::Result<T> result) {
  ZR_RETURN_IF_ERROR(from_arrow(result.status()));
  return std::move(result).ValueUnsafe();
}

std::string_view arrow_type_name(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::kBool: return "Boolean";
    case MetadataKind::kInt: return "Int64";
    case MetadataKind::kFloat: return "Float64";
    case MetadataKind::kString: return "Utf8";
  }
  return "";
}

// Whether a host table's column type is accepted for a field of this kind.
bool host_type_accepted(MetadataKind kind, arrow::Type::type id) {
  switch (kind) {
    case MetadataKind::kBool: return id == arrow::Type::BOOL;
    case MetadataKind::kInt: return id == arrow::Type::INT64;
    case MetadataKind::kFloat: return id == arrow::Type::DOUBLE;
    case MetadataKind::kString:
      return id == arrow::Type::STRING || id == arrow::Type::LARGE_STRING ||
             id == arrow::Type::STRING_VIEW;
  }
  return false;
}

// A cell is null when the array carries a validity bitmap whose bit is clear.
// Arrays without a bitmap (including Null-typed, union and run-end encoded
// arrays) have no null cells here; their type is refused afterwards.
bool is_null_cell(const arrow::Array& column, int64_t row) {
  const uint8_t* bitmap = column.null_bitmap_data();
  return bitmap != nullptr && !arrow::bit_util::GetBit(bitmap, column.offset() + row);
}

// ---------------------------------------------------------------------------
// Building

std::shared_ptr<arrow::Schema> table_schema(const MetadataSchema& fields) {
  arrow::FieldVector columns;
  columns.reserve(fields.size() + 3);
  auto add = [&](std::string_view name, std::shared_ptr<arrow::DataType> type) {
    columns.push_back(arrow::field(std::string(name), std::move(type), /*nullable=*/false));
  };
  add(kCacheIdColumn, arrow::uint64());
  add(kSampleIdColumn, arrow::uint64());
  for (const MetadataField& field : fields) add(field.name, storage::arrow_type(field.kind));
  add(kWeightColumn, arrow::float64());
  return arrow::schema(std::move(columns));
}

// A new array of n fixed-width values, without nulls, filled by fill(i).
template <typename ArrowType, typename Fill>
Result<std::shared_ptr<arrow::Array>> make_filled_array(size_t n, Fill fill) {
  using Value = typename ArrowType::c_type;
  if (n > static_cast<size_t>(INT64_MAX) / sizeof(Value)) {
    return Err(CacheError::arrow("Capacity error: record batch too long"));
  }
  ZR_ASSIGN_OR_RETURN(std::shared_ptr<arrow::Buffer> values,
                      from_arrow(arrow::AllocateBuffer(static_cast<int64_t>(n * sizeof(Value)))));
  Value* out = values->mutable_data_as<Value>();
  for (size_t i = 0; i < n; ++i) out[i] = fill(i);
  auto data = arrow::ArrayData::Make(arrow::TypeTraits<ArrowType>::type_singleton(),
                                     static_cast<int64_t>(n), {nullptr, std::move(values)},
                                     /*null_count=*/0);
  return arrow::MakeArray(std::move(data));
}

// The checks of one metadata.arrow batch holding rows first .. first + n - 1
// of its cache, in the order they are reported: the batch's physical offset,
// its sample_id range, its column count, then each field. Returns the
// batch's metadata columns. Allocates nothing by the batch's row count, which
// the file claims.
Result<std::vector<std::shared_ptr<arrow::Array>>> check_batch(const arrow::RecordBatch& batch,
                                                               size_t cache_offset, size_t first,
                                                               const MetadataSchema& fields) {
  // The batch's first row must have a physical index, though it is not stored.
  size_t physical_first = 0;
  if (__builtin_add_overflow(cache_offset, first, &physical_first)) {
    return Err(CacheError::invalid_argument("physical metadata offset overflowed usize"));
  }
  size_t end = 0;
  if (__builtin_add_overflow(first, static_cast<size_t>(batch.num_rows()), &end)) {
    return Err(CacheError::invalid_argument("sample_id range overflowed usize"));
  }
  if (static_cast<size_t>(batch.num_columns()) != fields.size()) {
    return Err(CacheError::invalid_cache("metadata batch column count does not match manifest"));
  }
  return metadata_columns(batch, fields);
}

// One output batch of n rows: the identities of rows first .. first + n - 1
// of cache `cache_id`, the batch's checked metadata columns and weights of 1.0.
Result<std::shared_ptr<arrow::RecordBatch>> build_batch(
    const std::shared_ptr<arrow::Schema>& schema, size_t n, size_t cache_id, size_t first,
    std::vector<std::shared_ptr<arrow::Array>> metadata) {
  ZR_ASSIGN_OR_RETURN(auto cache_ids,
                      make_filled_array<arrow::UInt64Type>(n, [&](size_t) { return cache_id; }));
  ZR_ASSIGN_OR_RETURN(auto sample_ids,
                      make_filled_array<arrow::UInt64Type>(n, [&](size_t i) { return first + i; }));
  ZR_ASSIGN_OR_RETURN(auto weights,
                      make_filled_array<arrow::DoubleType>(n, [](size_t) { return 1.0; }));

  arrow::ArrayVector columns;
  columns.reserve(metadata.size() + 3);
  columns.push_back(std::move(cache_ids));
  columns.push_back(std::move(sample_ids));
  for (auto& column : metadata) columns.push_back(std::move(column));
  columns.push_back(std::move(weights));
  auto out = arrow::RecordBatch::Make(schema, static_cast<int64_t>(n), std::move(columns));
  ZR_RETURN_IF_ERROR(from_arrow(out->Validate()));
  return out;
}

// The output batches of one cache, in file order.
Status build_cache_batches(const std::shared_ptr<arrow::Schema>& schema,
                           const storage::LoadedCache& cache, size_t cache_id,
                           size_t cache_offset, const MetadataSchema& fields,
                           std::vector<std::shared_ptr<arrow::RecordBatch>>& out) {
  ZR_ASSIGN_OR_RETURN(auto reader, cache.metadata_batches());
  const uint64_t sample_count = cache.manifest.sample_count;
  size_t rows = 0;
  for (int b = 0; b < reader->num_record_batches(); ++b) {
    ZR_ASSIGN_OR_RETURN(auto batch, storage::read_metadata_batch(*reader, b));
    ZR_ASSIGN_OR_RETURN(auto metadata, check_batch(*batch, cache_offset, rows, fields));
    const size_t n = static_cast<size_t>(batch->num_rows());
    const size_t first = rows;
    rows += n;  // no overflow: checked by check_batch
    // Rows past the manifest's sample count fail the cache on its row count
    // once every batch is checked. A batch's row count comes from the file,
    // so output arrays are made only for rows within the sample count, which
    // the loaded index already holds: a batch claiming more costs nothing.
    if (rows > sample_count) continue;
    ZR_ASSIGN_OR_RETURN(auto built, build_batch(schema, n, cache_id, first, std::move(metadata)));
    out.push_back(std::move(built));
  }
  if (rows != sample_count) {
    return Err(CacheError::invalid_cache(
        "metadata row count for cache " + std::to_string(cache_id) + " expected " +
        std::to_string(sample_count) + ", got " + std::to_string(rows)));
  }
  return {};
}

Result<std::shared_ptr<arrow::Buffer>> write_ipc_file(
    const std::shared_ptr<arrow::Schema>& schema,
    const std::vector<std::shared_ptr<arrow::RecordBatch>>& batches) {
  ZR_ASSIGN_OR_RETURN(auto sink, from_arrow(arrow::io::BufferOutputStream::Create()));
  ZR_ASSIGN_OR_RETURN(auto writer, from_arrow(arrow::ipc::MakeFileWriter(
                                       sink, schema, arrow::ipc::IpcWriteOptions::Defaults())));
  for (const auto& batch : batches) {
    ZR_RETURN_IF_ERROR(from_arrow(writer->WriteRecordBatch(*batch)));
  }
  ZR_RETURN_IF_ERROR(from_arrow(writer->Close()));
  return from_arrow(sink->Finish());
}

// ---------------------------------------------------------------------------
// Validating

Result<double> read_weight_cell(const arrow::Array& column, int64_t row) {
  if (is_null_cell(column, row)) {
    return Err(CacheError::invalid_argument(
        column_message(kWeightColumn, "contains null")));
  }
  switch (column.type_id()) {
    case arrow::Type::DOUBLE:
      return static_cast<const arrow::DoubleArray&>(column).Value(row);
    case arrow::Type::FLOAT:
      return static_cast<double>(static_cast<const arrow::FloatArray&>(column).Value(row));
    case arrow::Type::UINT64:
      return static_cast<double>(static_cast<const arrow::UInt64Array&>(column).Value(row));
    case arrow::Type::UINT32:
      return static_cast<double>(static_cast<const arrow::UInt32Array&>(column).Value(row));
    case arrow::Type::INT64:
      return static_cast<double>(static_cast<const arrow::Int64Array&>(column).Value(row));
    case arrow::Type::INT32:
      return static_cast<double>(static_cast<const arrow::Int32Array&>(column).Value(row));
    default:
      return Err(CacheError::invalid_argument(
          column_message(kWeightColumn, "must be numeric")));
  }
}

// The three columns a host batch is read by.
struct IdentityColumns {
  const arrow::Array* cache_id;
  const arrow::Array* sample_id;
  const arrow::Array* weight;
};

// The first column named exactly `name`; duplicates after it are ignored.
Result<const arrow::Array*> required_column(const arrow::RecordBatch& batch,
                                            std::string_view name) {
  const auto& fields = batch.schema()->fields();
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields[i]->name() == name) return batch.columns()[i].get();
  }
  return Err(CacheError::invalid_argument("samples metadata missing '" + std::string(name) +
                                          "' column"));
}

// The schema checks of one host batch: every metadata field present with an
// accepted type, then the identity and weight columns present.
Result<IdentityColumns> check_host_batch_columns(const arrow::RecordBatch& batch,
                                                 const MetadataSchema& fields) {
  for (const MetadataField& field : fields) {
    ZR_ASSIGN_OR_RETURN(const arrow::Array* column, required_column(batch, field.name));
    if (!host_type_accepted(field.kind, column->type_id())) {
      return Err(CacheError::invalid_argument(column_message(
          field.name, "must have Arrow type " + std::string(arrow_type_name(field.kind)))));
    }
  }
  IdentityColumns columns{};
  ZR_ASSIGN_OR_RETURN(columns.cache_id, required_column(batch, kCacheIdColumn));
  ZR_ASSIGN_OR_RETURN(columns.sample_id, required_column(batch, kSampleIdColumn));
  ZR_ASSIGN_OR_RETURN(columns.weight, required_column(batch, kWeightColumn));
  return columns;
}

// Appends the physical index and weight of every row of one host batch.
Status read_host_rows(const IdentityColumns& columns, int64_t num_rows, const LoadedCaches& caches,
                      std::span<const size_t> cache_offsets, std::vector<size_t>& physical,
                      std::vector<double>& weights) {
  for (int64_t r = 0; r < num_rows; ++r) {
    ZR_ASSIGN_OR_RETURN(uint64_t cache_id, read_u64_cell(*columns.cache_id, r, kCacheIdColumn));
    ZR_ASSIGN_OR_RETURN(uint64_t sample_id, read_u64_cell(*columns.sample_id, r, kSampleIdColumn));
    ZR_ASSIGN_OR_RETURN(double weight, read_weight_cell(*columns.weight, r));
    if (cache_id >= caches.size() || sample_id >= caches[cache_id]->manifest.sample_count) {
      return Err(CacheError::invalid_argument(
          "unknown samples metadata row identity cache_id=" + std::to_string(cache_id) +
          " sample_id=" + std::to_string(sample_id)));
    }
    if (cache_id >= cache_offsets.size()) {
      return Err(CacheError::invalid_cache("cache offset is out of range"));
    }
    size_t index = 0;
    if (__builtin_add_overflow(cache_offsets[cache_id], sample_id, &index)) {
      return Err(CacheError::invalid_argument("physical weight index overflowed usize"));
    }
    physical.push_back(index);
    weights.push_back(weight);
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------------------

Result<std::shared_ptr<arrow::Array>> metadata_column(const arrow::RecordBatch& batch,
                                                      size_t position,
                                                      const MetadataField& field) {
  const auto& schema = *batch.schema();
  if (position >= static_cast<size_t>(schema.num_fields())) {
    return Err(CacheError::invalid_cache("metadata field is out of range"));
  }
  const auto& actual = *schema.field(static_cast<int>(position));
  if (actual.name() != field.name || !actual.type()->Equals(*storage::arrow_type(field.kind))) {
    return Err(CacheError::invalid_cache(
        "metadata column '" + field.name + "' does not match manifest schema"));
  }
  if (position >= static_cast<size_t>(batch.num_columns())) {
    return Err(CacheError::invalid_cache("metadata column is out of range"));
  }
  return batch.column(static_cast<int>(position));
}

Result<std::vector<std::shared_ptr<arrow::Array>>> metadata_columns(const arrow::RecordBatch& batch,
                                                                    const MetadataSchema& fields) {
  std::vector<std::shared_ptr<arrow::Array>> columns;
  columns.reserve(fields.size());
  for (size_t k = 0; k < fields.size(); ++k) {
    ZR_ASSIGN_OR_RETURN(auto column, metadata_column(batch, k, fields[k]));
    columns.push_back(std::move(column));
  }
  return columns;
}

Result<uint64_t> read_u64_cell(const arrow::Array& column, int64_t row, std::string_view name) {
  if (is_null_cell(column, row)) {
    return Err(CacheError::invalid_argument(
        column_message(name, "contains null")));
  }
  int64_t signed_value = 0;
  switch (column.type_id()) {
    case arrow::Type::UINT64:
      return static_cast<const arrow::UInt64Array&>(column).Value(row);
    case arrow::Type::UINT32:
      return static_cast<const arrow::UInt32Array&>(column).Value(row);
    case arrow::Type::INT64:
      signed_value = static_cast<const arrow::Int64Array&>(column).Value(row);
      break;
    case arrow::Type::INT32:
      signed_value = static_cast<const arrow::Int32Array&>(column).Value(row);
      break;
    default:
      return Err(CacheError::invalid_argument(
          column_message(name, "must be an integer")));
  }
  if (signed_value < 0) {
    return Err(CacheError::invalid_argument(
        column_message(name, "must be non-negative")));
  }
  return static_cast<uint64_t>(signed_value);
}

Result<std::shared_ptr<arrow::Buffer>> build_samples_metadata_ipc(
    const LoadedCaches& caches, std::span<const size_t> cache_offsets,
    const MetadataSchema& fields) {
  auto schema = table_schema(fields);
  // Every batch is assembled before anything is written: a failure anywhere
  // returns no bytes.
  std::vector<std::shared_ptr<arrow::RecordBatch>> batches;
  for (size_t i = 0; i < caches.size(); ++i) {
    if (i >= cache_offsets.size()) {
      return Err(CacheError::invalid_cache("cache offset is out of range"));
    }
    ZR_RETURN_IF_ERROR(
        build_cache_batches(schema, *caches[i], i, cache_offsets[i], fields, batches));
  }
  return write_ipc_file(schema, batches);
}

Result<ActiveMetadataTable> extract_metadata_ipc(std::span<const uint8_t> ipc,
                                                 const LoadedCaches& caches,
                                                 std::span<const size_t> cache_offsets,
                                                 const MetadataSchema& fields) {
  // The reader works on the caller's bytes in place; they outlive this call.
  // Its pool refuses compressed tables before a crafted buffer can claim any
  // decompressed size.
  auto buffer = std::make_shared<arrow::Buffer>(ipc.data(), static_cast<int64_t>(ipc.size()));
  auto file = std::make_shared<arrow::io::BufferReader>(buffer);
  auto options = arrow::ipc::IpcReadOptions::Defaults();
  options.use_threads = false;  // decode on the calling thread, not on Arrow's pool
  options.memory_pool = &storage::refusing_memory_pool();
  ZR_ASSIGN_OR_RETURN(auto reader,
                      from_arrow(arrow::ipc::RecordBatchFileReader::Open(file, options)));

  size_t total = 0;
  std::vector<double> weights;
  std::vector<size_t> physical;
  for (int b = 0; b < reader->num_record_batches(); ++b) {
    // Fully validated by Arrow before any cell is read, so crafted offsets
    // or lengths give an error, never a read outside the bytes.
    ZR_ASSIGN_OR_RETURN(auto batch, storage::read_metadata_batch(*reader, b));
    if (__builtin_add_overflow(total, static_cast<size_t>(batch->num_rows()), &total)) {
      return Err(CacheError::invalid_argument("samples metadata row count overflowed usize"));
    }
    ZR_ASSIGN_OR_RETURN(IdentityColumns columns, check_host_batch_columns(*batch, fields));
    ZR_RETURN_IF_ERROR(
        read_host_rows(columns, batch->num_rows(), caches, cache_offsets, physical, weights));
  }
  if (total == 0) {
    return Err(CacheError::invalid_argument("metadata table must include at least one sample"));
  }
  ZR_RETURN_IF_ERROR(sampling::validate_weights(weights, total));
  return ActiveMetadataTable{
      .weights = std::move(weights),
      .ipc = std::vector<uint8_t>(ipc.begin(), ipc.end()),
      .active = std::make_shared<const std::vector<size_t>>(std::move(physical)),
  };
}

}  // namespace zandrel::samples_metadata
