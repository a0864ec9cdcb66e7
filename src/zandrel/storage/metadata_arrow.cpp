#include "zandrel/storage/metadata_arrow.hpp"

#include <arrow/api.h>
#include <arrow/io/interfaces.h>
#include <arrow/ipc/writer.h>

#include <variant>

#include "zandrel/storage/format.hpp"

namespace zandrel::storage {
namespace {

CacheError arrow_error(const arrow::Status& status) { return CacheError::arrow(status.ToString()); }

// An Arrow output stream over our buffered writer. Arrow's IPC writer does not
// close its sink; the caller closes the writer.
class BufferedOutputStream final : public arrow::io::OutputStream {
 public:
  explicit BufferedOutputStream(BufferedWriter* writer) : writer_(writer) {}

  arrow::Status Write(const void* data, int64_t nbytes) override {
    Status status = writer_->write(std::span(static_cast<const uint8_t*>(data), static_cast<size_t>(nbytes)));
    if (!status) return arrow::Status::IOError(status.error().message());
    position_ += nbytes;
    return arrow::Status::OK();
  }
  arrow::Status Flush() override {
    Status status = writer_->flush();
    if (!status) return arrow::Status::IOError(status.error().message());
    return arrow::Status::OK();
  }
  arrow::Status Close() override {
    closed_ = true;
    return Flush();
  }
  bool closed() const override { return closed_; }
  arrow::Result<int64_t> Tell() const override { return position_; }

 private:
  BufferedWriter* writer_;  // not owned
  int64_t position_ = 0;    // bytes written through this stream
  bool closed_ = false;
};

// Appends the column's values with the builder of type Builder.
template <typename Builder, typename Value>
Result<std::shared_ptr<arrow::Array>> collect(std::span<const MetadataRow> rows, size_t column) {
  Builder builder;
  if (arrow::Status st = builder.Reserve(static_cast<int64_t>(rows.size())); !st.ok()) {
    return Err(arrow_error(st));
  }
  for (const MetadataRow& row : rows) {
    if (column >= row.size()) return Err(CacheError::invalid_argument("metadata column is out of range"));
    const Value* value = std::get_if<Value>(&row[column]);
    if (value == nullptr) return Err(CacheError::invalid_argument("metadata kind drifted"));
    if (arrow::Status st = builder.Append(*value); !st.ok()) return Err(arrow_error(st));
  }
  std::shared_ptr<arrow::Array> array;
  if (arrow::Status st = builder.Finish(&array); !st.ok()) return Err(arrow_error(st));
  return array;
}

}  // namespace

std::shared_ptr<arrow::DataType> arrow_type(MetadataKind kind) {
  switch (kind) {
    case MetadataKind::kBool:
      return arrow::boolean();
    case MetadataKind::kInt:
      return arrow::int64();
    case MetadataKind::kFloat:
      return arrow::float64();
    case MetadataKind::kString:
      break;
  }
  return arrow::utf8();
}

Result<std::shared_ptr<arrow::Array>> build_array(std::span<const MetadataRow> rows, size_t column,
                                                  MetadataKind kind) {
  switch (kind) {
    case MetadataKind::kBool:
      return collect<arrow::BooleanBuilder, bool>(rows, column);
    case MetadataKind::kInt:
      return collect<arrow::Int64Builder, int64_t>(rows, column);
    case MetadataKind::kFloat:
      return collect<arrow::DoubleBuilder, double>(rows, column);
    case MetadataKind::kString:
      break;
  }
  return collect<arrow::StringBuilder, std::string>(rows, column);
}

namespace {

std::shared_ptr<arrow::Schema> arrow_schema(const MetadataSchema& schema) {
  arrow::FieldVector fields;
  fields.reserve(schema.size());
  for (const MetadataField& field : schema) {
    fields.push_back(arrow::field(field.name, arrow_type(field.kind), /*nullable=*/false));
  }
  return arrow::schema(std::move(fields));
}

Result<std::shared_ptr<arrow::RecordBatch>> build_record_batch(const MetadataSchema& schema,
                                                               std::span<const MetadataRow> rows) {
  // A batch is sized by its columns; without one there is no row count.
  if (schema.empty()) {
    return Err(CacheError::arrow("Invalid: a record batch needs at least one column to carry its row count"));
  }
  std::vector<std::shared_ptr<arrow::Array>> columns;
  columns.reserve(schema.size());
  for (size_t i = 0; i < schema.size(); ++i) {
    ZR_ASSIGN_OR_RETURN(auto column, build_array(rows, i, schema[i].kind));
    columns.push_back(std::move(column));
  }
  auto batch = arrow::RecordBatch::Make(arrow_schema(schema), static_cast<int64_t>(rows.size()),
                                        std::move(columns));
  if (arrow::Status st = batch->Validate(); !st.ok()) return Err(arrow_error(st));
  return batch;
}

}  // namespace

Result<std::string> write_metadata_file(const std::filesystem::path& root,
                                        const MetadataSchema& schema,
                                        std::span<const MetadataRow> rows) {
  ZR_ASSIGN_OR_RETURN(auto batch, build_record_batch(schema, rows));
  const std::filesystem::path file = root / kMetadataFileName;
  ZR_ASSIGN_OR_RETURN(BufferedWriter writer, BufferedWriter::create(file));

  // Schema, the one batch, then the footer; Close() leaves the sink open.
  BufferedOutputStream sink(&writer);
  auto made = arrow::ipc::MakeFileWriter(&sink, batch->schema());
  if (!made.ok()) return Err(arrow_error(made.status()));
  std::shared_ptr<arrow::ipc::RecordBatchWriter> ipc_writer = *std::move(made);
  if (arrow::Status st = ipc_writer->WriteRecordBatch(*batch); !st.ok()) return Err(arrow_error(st));
  if (arrow::Status st = ipc_writer->Close(); !st.ok()) return Err(arrow_error(st));
  if (arrow::Status st = sink.Flush(); !st.ok()) return Err(arrow_error(st));

  ZR_ASSIGN_OR_RETURN(std::string sha256, hash_file(file));
  ipc_writer.reset();
  ZR_RETURN_IF_ERROR(writer.close());
  return sha256;
}

}  // namespace zandrel::storage
