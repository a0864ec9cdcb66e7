// class PyDatasetIterator: iter(dataset) returns one; each __next__ hands out
// the next sample of its epoch as (payload bytes, metadata dict, cache index,
// index in cache). The object keeps its own handles of the pool, caches and
// offsets (inside its RuntimeIterator), so it outlives its dataset.
#include "zandrel/runtime_py.hpp"

#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace zandrel {
namespace {

struct IteratorState {
  // The dict keys: one str per schema field, made once per epoch.
  std::vector<host::PyRef> keys;
  std::mutex mutex;  // held for the whole of __next__, never waited for
  std::unique_ptr<RuntimeIterator> iterator;  // guarded by mutex
};

struct PyDatasetIterator {
  PyObject_HEAD
  // Constructed in place by new_dataset_iterator, destroyed by iterator_dealloc.
  IteratorState state;
};

// Created by init_dataset_iterator_type and kept for the life of the process.
PyTypeObject* iterator_type = nullptr;

PyObject* metadata_value_to_py(const MetadataValue& value) {
  return std::visit(
      [](const auto& v) -> PyObject* {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, bool>) {
          return PyBool_FromLong(v ? 1 : 0);
        } else if constexpr (std::is_same_v<V, int64_t>) {
          return PyLong_FromLongLong(v);
        } else if constexpr (std::is_same_v<V, double>) {
          return PyFloat_FromDouble(v);
        } else {
          return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
        }
      },
      value);
}

// The metadata dict, keys in schema order (pairs up to the shorter of the
// keys and the row).
host::PyRef metadata_dict(const std::vector<host::PyRef>& keys, const MetadataRow& row) {
  host::PyRef dict = host::PyRef::steal(PyDict_New());
  if (!dict) return dict;
  const size_t count = std::min(keys.size(), row.size());
  for (size_t i = 0; i < count; ++i) {
    host::PyRef value = host::PyRef::steal(metadata_value_to_py(row[i]));
    if (!value) return {};
    if (PyDict_SetItem(dict.get(), keys[i].get(), value.get()) < 0) return {};
  }
  return dict;
}

PyObject* sample_tuple(const std::vector<host::PyRef>& keys, const LoadedSample& sample) {
  host::PyRef dict = metadata_dict(keys, sample.metadata);
  if (!dict) return nullptr;
  host::PyRef data = host::PyRef::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(sample.data.data()),
                                static_cast<Py_ssize_t>(sample.data.size())));
  if (!data) return nullptr;
  host::PyRef cache_index = host::PyRef::steal(PyLong_FromSize_t(sample.cache_index));
  if (!cache_index) return nullptr;
  host::PyRef sample_index = host::PyRef::steal(PyLong_FromSize_t(sample.sample_index));
  if (!sample_index) return nullptr;
  return PyTuple_Pack(4, data.get(), dict.get(), cache_index.get(), sample_index.get());
}

PyObject* next_sample(IteratorState& state) {
  // This thread holds the interpreter lock for the whole call, so the mutex is
  // found held only when host code run from inside the call (a finalizer run
  // by the garbage collector while the tuple is built) steps this iterator, on
  // this thread or on one it let in. Waiting would never end: fail instead.
  std::unique_lock lock(state.mutex, std::try_to_lock);
  if (!lock.owns_lock()) return host::raise_cache_error(CacheError::worker_failed());
  Result<std::optional<LoadedSample>> next = state.iterator->next();
  if (!next) return host::raise_cache_error(next.error());
  // nullptr without an exception set: the host's StopIteration.
  if (!*next) return nullptr;
  return sample_tuple(state.keys, **next);
}

PyObject* iterator_next(PyObject* self) {
  return host::guarded(
      [&] { return next_sample(reinterpret_cast<PyDatasetIterator*>(self)->state); }, nullptr);
}

// Releasing the RuntimeIterator cancels the loads still in flight without
// waiting for them.
constexpr auto iterator_dealloc = host::dealloc_holder<PyDatasetIterator, &PyDatasetIterator::state>;

PyType_Slot iterator_slots[] = {
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(iterator_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(iterator_dealloc)},
    {0, nullptr},
};

// Made only by iterating a dataset: not instantiable and not subclassable.
PyType_Spec iterator_spec = {
    /*name=*/"_zandrel.PyDatasetIterator",
    /*basicsize=*/static_cast<int>(sizeof(PyDatasetIterator)),
    /*itemsize=*/0,
    /*flags=*/Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    /*slots=*/iterator_slots,
};

}  // namespace

int init_dataset_iterator_type() {
  if (iterator_type) return 0;
  iterator_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&iterator_spec));
  return iterator_type ? 0 : -1;
}

PyObject* new_dataset_iterator(const MetadataSchema& schema,
                               std::unique_ptr<RuntimeIterator> iterator) {
  if (init_dataset_iterator_type() < 0) return nullptr;
  std::vector<host::PyRef> keys;
  keys.reserve(schema.size());
  for (const MetadataField& field : schema) {
    keys.push_back(host::PyRef::steal(PyUnicode_FromStringAndSize(
        field.name.data(), static_cast<Py_ssize_t>(field.name.size()))));
    if (!keys.back()) return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(iterator_type, Py_tp_alloc));
  PyObject* self = alloc(iterator_type, 0);
  if (!self) return nullptr;  // `iterator` goes here, cancelling its loads
  IteratorState* state = &reinterpret_cast<PyDatasetIterator*>(self)->state;
  new (state) IteratorState();
  state->keys = std::move(keys);
  state->iterator = std::move(iterator);
  return self;
}

}  // namespace zandrel
