// metadata.arrow: every sample's metadata as one Arrow table, written by the
// cache builder at finish.
//
// The Arrow schema has one non-nullable field per metadata field, in schema
// order, with the type Boolean, Int64, Float64 or Utf8 (32-bit offsets) for
// the kinds bool, int, float and string, and no field or schema metadata. The
// file holds exactly one record batch, row i being sample i.
//
// Pure functions of their arguments; any thread may call them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "zandrel/types.hpp"

namespace arrow {
class Array;
class DataType;
}  // namespace arrow

namespace zandrel::storage {

// The Arrow type of a metadata kind.
std::shared_ptr<arrow::DataType> arrow_type(MetadataKind kind);

// The column at `column` of all rows, without nulls. InvalidArgument "metadata
// column is out of range" for a row too short, "metadata kind drifted" for a
// value of another kind; Arrow when the library refuses the values (a string
// column whose texts together pass 2^31 - 2 bytes).
Result<std::shared_ptr<arrow::Array>> build_array(std::span<const MetadataRow> rows,
                                                  size_t column, MetadataKind kind);

// Builds one validated record batch of all rows, writes root/"metadata.arrow"
// through Arrow's IPC file writer (default options) over an 8192-byte buffered
// writer, and returns the SHA-256 of the file read back. Errors, in order:
// build_array's; Arrow for an empty schema (a batch without columns carries no
// row count) or a refused batch; Io when the file cannot be created; Arrow for
// the IPC writer; hash_file's.
Result<std::string> write_metadata_file(const std::filesystem::path& root,
                                        const MetadataSchema& schema,
                                        std::span<const MetadataRow> rows);

}  // namespace zandrel::storage
