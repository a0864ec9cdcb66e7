// The host (Python) boundary: an owning reference handle, the one conversion
// of CacheError into a Python exception, and argument conversion helpers that
// give the errors callers expect ("argument 'x': ...").
//
// Everything here runs on a thread that holds the interpreter lock.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "zandrel/types.hpp"

namespace zandrel::host {

// A strong reference, released when the handle goes. Move-only.
class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (which may be null).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* object) {
    Py_XINCREF(object);
    return PyRef(object);
  }
  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}
  PyObject* object_ = nullptr;
};

// The tp_dealloc of a heap type whose objects hold one C++ value in `Member`
// (constructed in place by the type's tp_new): destroys the value, frees the
// object and releases the object's reference to its type.
template <typename Object, auto Member>
void dealloc_holder(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&(reinterpret_cast<Object*>(self)->*Member));
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// Raises the error as its Python exception (ValueError, RuntimeError, or a new
// KeyboardInterrupt or SystemExit) and returns nullptr for the caller to return.
PyObject* raise_cache_error(const CacheError& error);

// Runs the body of a host-callable function so that no C++ exception crosses
// into the interpreter: an allocation failure raises MemoryError, any other
// exception RuntimeError("runtime worker failed"), and `failure` is returned.
template <typename Body>
auto guarded(Body body, decltype(body()) failure) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "runtime worker failed");
  }
  return failure;
}

// Binds positional and keyword arguments to `names` (all required, no
// defaults) with the host's own binding errors. `out` receives borrowed
// references in the order of `names`. Returns false with an exception set.
bool bind_arguments(PyObject* args, PyObject* kwargs, const char* function,
                    std::span<const char* const> names, std::span<PyObject*> out);

// Re-raises a pending TypeError as TypeError("argument '<name>': <message>");
// other pending exceptions are left as they are.
void name_argument_error(const char* name);

// Integer arguments through the index protocol: TypeError naming the argument
// for a non-integer, OverflowError for a negative or too large value.
std::optional<uint64_t> extract_u64(PyObject* object, const char* name);
std::optional<size_t> extract_usize(PyObject* object, const char* name);

// A bool argument: Python bool or a NumPy bool scalar; anything else (an int
// included) is a TypeError naming the argument.
std::optional<bool> extract_bool(PyObject* object, const char* name);

// A str argument as UTF-8 text (embedded NULs kept); TypeError naming the
// argument otherwise, also for a str that cannot be encoded (a lone surrogate).
std::optional<std::string> extract_str(PyObject* object, const char* name);

// The UTF-8 text of a str object; nullopt with an exception set otherwise.
std::optional<std::string> str_utf8(PyObject* object);

// The type's qualified name, for messages such as "'int' object ...".
std::string type_name(PyObject* object);

}  // namespace zandrel::host
