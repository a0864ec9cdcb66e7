// The CachedDataset methods that read and replace the samples metadata table
// (see samples_metadata_py.hpp).
#include "zandrel/samples_metadata_py.hpp"

#include <arrow/buffer.h>

#include <array>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <utility>

#include "zandrel/samples_metadata.hpp"

namespace zandrel {
namespace {

PyObject* bytes_from(std::span<const uint8_t> data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()),
                                   static_cast<Py_ssize_t>(data.size()));
}

PyObject* read_table(DatasetState& state) {
  // The installed table is immutable, so a reference taken under the mutex
  // may be copied into the result after the mutex is released.
  std::shared_ptr<const ActiveMetadataTable> table;
  Result<std::shared_ptr<arrow::Buffer>> built;
  {
    std::lock_guard lock(state.mutable_state_mutex);
    table = state.mutable_state.active_metadata;
    // Without a table the build runs under the mutex, reading every cache's
    // metadata.arrow.
    if (!table) {
      built = samples_metadata::build_samples_metadata_ipc(*state.caches, *state.cache_offsets,
                                                           state.schema);
    }
  }
  if (table) return bytes_from(table->ipc);
  if (!built) return host::raise_cache_error(built.error());
  const arrow::Buffer& buffer = **built;
  return bytes_from(std::span(buffer.data(), static_cast<size_t>(buffer.size())));
}

PyObject* replace_table(DatasetState& state, PyObject* args, PyObject* kwargs,
                        const char* method_name) {
  constexpr std::array<const char*, 1> kNames = {"ipc"};
  std::array<PyObject*, 1> bound{};
  if (!host::bind_arguments(args, kwargs, method_name, kNames, bound)) return nullptr;
  PyObject* ipc = bound[0];
  if (!PyBytes_Check(ipc)) {
    PyErr_Format(PyExc_TypeError, "argument 'ipc': '%s' object cannot be converted to 'PyBytes'",
                 host::type_name(ipc).c_str());
    return nullptr;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(ipc, &data, &size) < 0) return nullptr;

  // Validation runs without the dataset mutex: a failure never touches the
  // locked state. The bytes object stays alive through the borrowed argument.
  auto table = samples_metadata::extract_metadata_ipc(
      std::span(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size)),
      *state.caches, *state.cache_offsets, state.schema);
  if (!table) return host::raise_cache_error(table.error());
  auto installed = std::make_shared<const ActiveMetadataTable>(std::move(*table));

  std::shared_ptr<const ActiveMetadataTable> previous;  // released after unlocking
  {
    std::lock_guard lock(state.mutable_state_mutex);
    previous = std::exchange(state.mutable_state.active_metadata, std::move(installed));
    state.mutable_state.sequential_cursor = 0;
    state.mutable_state.draw_offset = 0;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyObject* metadata_ipc_method(DatasetState& state) {
  return host::guarded([&] { return read_table(state); }, nullptr);
}

PyObject* update_metadata_ipc_method(DatasetState& state, PyObject* args, PyObject* kwargs,
                                     const char* method_name) {
  return host::guarded([&] { return replace_table(state, args, kwargs, method_name); },
                       nullptr);
}

}  // namespace zandrel
