// class CachedDataset(runtime, paths, seed, prefetch_size, shuffle,
// validate_cache): one or more caches read as one dataset.
//
//   len(ds)                    the current epoch length
//   iter(ds)                   a PyDatasetIterator over the next epoch
//   ds.set_epoch_len(n)        the length of later epochs
//   ds.metadata_ipc(), ds.update_metadata_ipc(ipc) and their aliases
//
// The object holds one shared handle of the DatasetState; all mutation
// happens inside the state, under its mutex. Every method runs on the host
// thread with the interpreter lock held, also while it waits for the pool.
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "zandrel/dataset_load.hpp"
#include "zandrel/module.hpp"
#include "zandrel/runtime_py.hpp"
#include "zandrel/sampling.hpp"
#include "zandrel/samples_metadata_py.hpp"
#include "zandrel/zandrel.hpp"

namespace zandrel {
namespace {

struct PyCachedDataset {
  PyObject_HEAD
  // Constructed in place by dataset_new, destroyed by dataset_dealloc.
  std::shared_ptr<DatasetState> state;
};

// Created by register_cached_dataset_type and kept for the life of the process.
PyTypeObject* dataset_type = nullptr;

DatasetState& state_of(PyObject* self) { return *reinterpret_cast<PyCachedDataset*>(self)->state; }

// `paths`: a sequence of str (a str itself refused).
std::optional<std::vector<std::string>> extract_paths(PyObject* object) {
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "argument 'paths': Can't extract `str` to `Vec`");
    return std::nullopt;
  }
  if (!PySequence_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument 'paths': '%s' object cannot be converted to 'Sequence'",
                 host::type_name(object).c_str());
    return std::nullopt;
  }
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    host::name_argument_error("paths");
    return std::nullopt;
  }
  std::vector<std::string> paths;
  paths.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    host::PyRef item = host::PyRef::steal(PySequence_GetItem(object, i));
    if (!item) {
      host::name_argument_error("paths");
      return std::nullopt;
    }
    std::optional<std::string> path = host::extract_str(item.get(), "paths");
    if (!path) return std::nullopt;
    paths.push_back(std::move(*path));
  }
  return paths;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const kNames[] = {"runtime", "paths",   "seed",
                                       "prefetch_size", "shuffle", "validate_cache"};
  std::array<PyObject*, 6> values{};
  if (!host::bind_arguments(args, kwargs, "CachedDataset", kNames, values)) return nullptr;

  // Converted in declaration order; the first failure is raised.
  std::optional<RuntimeHandle> runtime = runtime_from_object(values[0], "runtime");
  if (!runtime) return nullptr;
  std::optional<std::vector<std::string>> paths = extract_paths(values[1]);
  if (!paths) return nullptr;
  std::optional<uint64_t> seed = host::extract_u64(values[2], "seed");
  if (!seed) return nullptr;
  std::optional<size_t> prefetch_size = host::extract_usize(values[3], "prefetch_size");
  if (!prefetch_size) return nullptr;
  std::optional<bool> shuffle = host::extract_bool(values[4], "shuffle");
  if (!shuffle) return nullptr;
  std::optional<bool> validate_cache = host::extract_bool(values[5], "validate_cache");
  if (!validate_cache) return nullptr;

  Result<std::shared_ptr<DatasetState>> state =
      dataset::create_dataset_state(std::move(runtime->pool), runtime->num_workers, *paths, *seed,
                                    *prefetch_size, *shuffle, *validate_cache);
  if (!state) return host::raise_cache_error(state.error());

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;  // the state goes here
  new (&reinterpret_cast<PyCachedDataset*>(self)->state)
      std::shared_ptr<DatasetState>(std::move(*state));
  return self;
}

PyObject* dataset_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return host::guarded([&] { return construct(type, args, kwargs); }, nullptr);
}

// Releases this object's handle of the state; iterators keep their own
// handles of the pool, caches and offsets.
constexpr auto dataset_dealloc = host::dealloc_holder<PyCachedDataset, &PyCachedDataset::state>;

Py_ssize_t dataset_len(PyObject* self) {
  return host::guarded(
      [&]() -> Py_ssize_t {
        const size_t epoch_len = dataset::current_epoch_len(state_of(self));
        if (epoch_len > static_cast<size_t>(PY_SSIZE_T_MAX)) {
          PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
          return -1;
        }
        return static_cast<Py_ssize_t>(epoch_len);
      },
      -1);
}

// Plans the next epoch under the dataset's mutex (moving the stored position
// on at once), then starts its loads outside the mutex.
PyObject* dataset_iter(PyObject* self) {
  return host::guarded(
      [&]() -> PyObject* {
        DatasetState& state = state_of(self);
        Result<EpochPlan> plan = plan_next_epoch(state);
        if (!plan) return host::raise_cache_error(plan.error());
        Result<std::unique_ptr<RuntimeIterator>> iterator =
            RuntimeIterator::start(state.pool, state.caches, state.cache_offsets,
                                   std::move(*plan), state.prefetch_size, state.num_workers);
        if (!iterator) return host::raise_cache_error(iterator.error());
        return new_dataset_iterator(state.schema, std::move(*iterator));
      },
      nullptr);
}

PyObject* dataset_set_epoch_len(PyObject* self, PyObject* args, PyObject* kwargs) {
  return host::guarded(
      [&]() -> PyObject* {
        static const char* const kNames[] = {"epoch_len"};
        std::array<PyObject*, 1> values{};
        if (!host::bind_arguments(args, kwargs, "set_epoch_len", kNames, values)) return nullptr;
        std::optional<size_t> epoch_len = host::extract_usize(values[0], "epoch_len");
        if (!epoch_len) return nullptr;
        Status stored = set_epoch_len(state_of(self), *epoch_len);
        if (!stored) return host::raise_cache_error(stored.error());
        Py_RETURN_NONE;
      },
      nullptr);
}

PyObject* dataset_metadata_ipc(PyObject* self, PyObject*) {
  return metadata_ipc_method(state_of(self));
}

PyObject* dataset_update_metadata_ipc(PyObject* self, PyObject* args, PyObject* kwargs) {
  return update_metadata_ipc_method(state_of(self), args, kwargs, "update_metadata_ipc");
}

PyObject* dataset_set_samples_metadata_ipc(PyObject* self, PyObject* args, PyObject* kwargs) {
  return update_metadata_ipc_method(state_of(self), args, kwargs, "set_samples_metadata_ipc");
}

template <typename F>
PyCFunction as_cfunction(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef dataset_methods[] = {
    {"metadata_ipc", dataset_metadata_ipc, METH_NOARGS, kMetadataIpcDoc},
    {"samples_metadata_ipc", dataset_metadata_ipc, METH_NOARGS, kSamplesMetadataIpcDoc},
    {"update_metadata_ipc", as_cfunction(dataset_update_metadata_ipc),
     METH_VARARGS | METH_KEYWORDS, kUpdateMetadataIpcDoc},
    {"set_samples_metadata_ipc", as_cfunction(dataset_set_samples_metadata_ipc),
     METH_VARARGS | METH_KEYWORDS, kSetSamplesMetadataIpcDoc},
    {"set_epoch_len", as_cfunction(dataset_set_epoch_len), METH_VARARGS | METH_KEYWORDS,
     "set_epoch_len($self, epoch_len)\n--\n\n"
     "Set the finite number of samples emitted by future iterators."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dataset_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CachedDataset(runtime, paths, seed, prefetch_size, shuffle, validate_cache)"
                    "\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(dataset_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dataset_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(dataset_len)},
    {Py_tp_iter, reinterpret_cast<void*>(dataset_iter)},
    {Py_tp_methods, dataset_methods},
    {0, nullptr},
};

// Not subclassable (no Py_TPFLAGS_BASETYPE): the object's layout is ours.
PyType_Spec dataset_spec = {
    /*name=*/"_zandrel.CachedDataset",
    /*basicsize=*/static_cast<int>(sizeof(PyCachedDataset)),
    /*itemsize=*/0,
    /*flags=*/Py_TPFLAGS_DEFAULT,
    /*slots=*/dataset_slots,
};

}  // namespace

int register_cached_dataset_type(PyObject* module) {
  if (init_dataset_iterator_type() < 0) return -1;
  if (!dataset_type) {
    dataset_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&dataset_spec));
    if (!dataset_type) return -1;
  }
  return PyModule_AddType(module, dataset_type);
}

}  // namespace zandrel
