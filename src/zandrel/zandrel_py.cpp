// class Zandrel(num_workers): starts and owns a worker pool. It has no other
// method or attribute; datasets and write calls take a handle of its pool.
#include <new>

#include "zandrel/module.hpp"
#include "zandrel/zandrel.hpp"

namespace zandrel {
namespace {

struct PyZandrel {
  PyObject_HEAD
  // Constructed in place by zandrel_new, destroyed by zandrel_dealloc.
  RuntimeHandle runtime;
};

// Created on first use and kept for the life of the process.
PyTypeObject* zandrel_type = nullptr;

PyObject* zandrel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return host::guarded([&]() -> PyObject* {
    static const char* const kNames[] = {"num_workers"};
    PyObject* values[1];
    if (!host::bind_arguments(args, kwargs, "Zandrel", kNames, values)) return nullptr;
    std::optional<size_t> num_workers = host::extract_usize(values[0], "num_workers");
    if (!num_workers) return nullptr;
    if (*num_workers == 0) {
      return host::raise_cache_error(
          CacheError::invalid_argument("num_workers must be greater than zero"));
    }
    Result<std::shared_ptr<WorkerPool>> pool = WorkerPool::create(*num_workers);
    if (!pool) return host::raise_cache_error(pool.error());

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;  // the pool handle goes here, closing the pool
    new (&reinterpret_cast<PyZandrel*>(self)->runtime)
        RuntimeHandle{std::move(*pool), *num_workers};
    return self;
  }, nullptr);
}

// Releases this object's pool handle; the pool closes with its last handle.
constexpr auto zandrel_dealloc = host::dealloc_holder<PyZandrel, &PyZandrel::runtime>;

PyType_Slot zandrel_slots[] = {
    {Py_tp_doc, const_cast<char*>("Zandrel(num_workers)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(zandrel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(zandrel_dealloc)},
    {0, nullptr},
};

// Not subclassable (no Py_TPFLAGS_BASETYPE): the object's layout is ours.
PyType_Spec zandrel_spec = {
    /*name=*/"_zandrel.Zandrel",
    /*basicsize=*/static_cast<int>(sizeof(PyZandrel)),
    /*itemsize=*/0,
    /*flags=*/Py_TPFLAGS_DEFAULT,
    /*slots=*/zandrel_slots,
};

PyTypeObject* get_zandrel_type() {
  if (!zandrel_type) {
    zandrel_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&zandrel_spec));
  }
  return zandrel_type;
}

}  // namespace

int register_zandrel_type(PyObject* module) {
  PyTypeObject* type = get_zandrel_type();
  if (!type) return -1;
  return PyModule_AddType(module, type);
}

std::optional<RuntimeHandle> runtime_from_object(PyObject* object, const char* argument) {
  PyTypeObject* type = get_zandrel_type();
  if (!type) return std::nullopt;
  if (!PyObject_TypeCheck(object, type)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'Zandrel'",
                 argument, host::type_name(object).c_str());
    return std::nullopt;
  }
  return reinterpret_cast<PyZandrel*>(object)->runtime;
}

}  // namespace zandrel
