// The samples metadata table: one row per sample of a dataset, naming the
// sample by ("cache_id", "sample_id"), carrying its metadata columns and a
// sampling "weight", exchanged with the host as the bytes of an Arrow IPC
// file (file format, with footer).
//
// build_samples_metadata_ipc writes the table of every sample from the
// caches' metadata.arrow files; extract_metadata_ipc checks a table the host
// hands back and turns it into the ActiveMetadataTable that then defines the
// dataset's population (row r = population position r).
//
// Python-free; every function may run on any thread. The host methods run
// them on the host thread (samples_metadata_py.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "zandrel/dataset.hpp"
#include "zandrel/types.hpp"

namespace arrow {
class Array;
class Buffer;
class RecordBatch;
}  // namespace arrow

namespace zandrel {

// The host's installed table. Immutable once made; shared with the epoch
// plans that draw from it.
// Invariants: weights.size() == active->size() >= 1; every weight is finite
// and > 0; every index in *active is below the dataset's physical sample count.
struct ActiveMetadataTable {
  std::vector<double> weights;  // one per table row, in row order over all batches
  std::vector<uint8_t> ipc;     // exact copy of the host's bytes
  // The physical sample index of every row; epoch plans keep their own
  // reference, so an iterator keeps its population after a replacement.
  std::shared_ptr<const std::vector<size_t>> active;
};

namespace samples_metadata {

// The table of every sample: columns "cache_id" (UInt64), "sample_id"
// (UInt64), one column per schema field (the arrays of metadata.arrow, shared,
// not copied), "weight" (Float64, all 1.0); one record batch per record batch
// of each cache's metadata.arrow, caches in order. Reads every metadata.arrow
// from disk; returns the IPC file bytes.
Result<std::shared_ptr<arrow::Buffer>> build_samples_metadata_ipc(
    const LoadedCaches& caches, std::span<const size_t> cache_offsets,
    const MetadataSchema& fields);

// Checks host bytes against the dataset and returns the table they define.
// Every batch is fully validated by Arrow before any cell is read, so hostile
// bytes give an error, never an out-of-bounds read; compressed IPC buffers
// are refused (Arrow error) rather than inflated. The first failure is
// returned; nothing is kept from a failed call.
Result<ActiveMetadataTable> extract_metadata_ipc(std::span<const uint8_t> ipc,
                                                 const LoadedCaches& caches,
                                                 std::span<const size_t> cache_offsets,
                                                 const MetadataSchema& fields);

// Column `position` of a metadata.arrow batch (the same array, not a copy),
// after checking that it has exactly the field's name and Arrow type.
Result<std::shared_ptr<arrow::Array>> metadata_column(const arrow::RecordBatch& batch,
                                                      size_t position,
                                                      const MetadataField& field);

// metadata_column for every field, in schema order; stops at the first error.
Result<std::vector<std::shared_ptr<arrow::Array>>> metadata_columns(
    const arrow::RecordBatch& batch, const MetadataSchema& fields);

// One identity cell ("cache_id" or "sample_id") as an unsigned 64-bit value.
// Accepts UInt64, UInt32, Int64 and Int32; `row` must be within the column,
// and the column must have passed Arrow's full validation.
Result<uint64_t> read_u64_cell(const arrow::Array& column, int64_t row, std::string_view name);

}  // namespace samples_metadata
}  // namespace zandrel
