// Reading sources, samples and destinations from host objects. Runs on the
// calling thread with the interpreter lock held; host code (properties,
// conversion hooks) may run inside every call here.
#include <set>

#include "zandrel/host.hpp"
#include "zandrel/writer/inputs.hpp"

namespace zandrel::writer {

using host::PyRef;

namespace {

CacheError invalid(const char* message) { return CacheError::invalid_argument(message); }

// The UTF-8 text of a str, or the host's encoding error as a CacheError.
Result<std::string> utf8_text(PyObject* text) {
  std::optional<std::string> bytes = host::str_utf8(text);
  if (!bytes) return Err(py_error());
  return std::move(*bytes);
}

// A NumPy boolean scalar, recognised by its type's module and name so that
// NumPy need not be imported.
bool is_numpy_bool(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  PyRef name = PyRef::steal(PyType_GetName(type));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  std::optional<std::string> name_text = host::str_utf8(name.get());
  if (!name_text || (*name_text != "bool" && *name_text != "bool_")) {
    PyErr_Clear();
    return false;
  }
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  std::optional<std::string> module_text = module ? host::str_utf8(module.get()) : std::nullopt;
  PyErr_Clear();
  return module_text == "numpy";
}

// bool, then signed 64-bit int, then 64-bit float, then str; the first that
// converts wins and the host exceptions of failed attempts are discarded.
std::optional<MetadataValue> convert_metadata_value(PyObject* value) {
  if (PyBool_Check(value)) return MetadataValue(value == Py_True);
  // Exact ints, floats and strs skip the attempts that cannot succeed for
  // them; subclasses go through every attempt, since they may add hooks.
  const bool is_int = PyLong_CheckExact(value), is_float = PyFloat_CheckExact(value),
             is_str = PyUnicode_CheckExact(value);
  if (!is_int && !is_float && !is_str && is_numpy_bool(value)) {
    int truth = PyObject_IsTrue(value);
    if (truth >= 0) return MetadataValue(truth != 0);
    PyErr_Clear();
  }
  if (!is_float && !is_str) {
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (index) {
      int overflow = 0;
      long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (overflow == 0 && !(number == -1 && PyErr_Occurred())) {
        return MetadataValue(static_cast<int64_t>(number));
      }
    }
    PyErr_Clear();
  }
  if (!is_str) {
    double number = PyFloat_AsDouble(value);
    if (!(number == -1.0 && PyErr_Occurred())) return MetadataValue(number);
    PyErr_Clear();
  }
  if (PyUnicode_Check(value)) {
    std::optional<std::string> text = host::str_utf8(value);
    if (text) return MetadataValue(std::move(*text));
    PyErr_Clear();
  }
  return std::nullopt;
}

// The bytes at `data` as a new vector: one block copy.
std::vector<uint8_t> copy_bytes(const char* data, Py_ssize_t size) {
  const auto* first = reinterpret_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(first, first + size);
}

// Copies the payload. bytes are read directly; anything else goes through
// the host's bytearray() construction (buffers, a count of zero bytes, an
// iterable of integers).
std::optional<std::vector<uint8_t>> convert_data(PyObject* data) {
  if (PyBytes_Check(data)) {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data, &bytes, &size) == 0) {
      return copy_bytes(bytes, size);
    }
    PyErr_Clear();
    return std::nullopt;
  }
  PyRef array = PyRef::steal(PyByteArray_FromObject(data));
  if (!array) {
    PyErr_Clear();
    return std::nullopt;
  }
  const char* bytes = PyByteArray_AsString(array.get());
  return copy_bytes(bytes, PyByteArray_Size(array.get()));
}

}  // namespace

Result<std::string> extract_source_name(PyObject* source) {
  PyRef name = PyRef::steal(PyObject_GetAttrString(source, "name"));
  if (!name) return Err(py_error());
  if (!PyUnicode_Check(name.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 host::type_name(name.get()).c_str());
    return Err(py_error());
  }
  ZR_ASSIGN_OR_RETURN(std::string text, utf8_text(name.get()));
  ZR_RETURN_IF_ERROR(check_source_name(text));
  return text;
}

Result<WriterInput> extract_cache_input(PyObject* item) {
  if (!PyTuple_Check(item)) return Err(invalid("CacheSource must yield CacheInput tuples"));
  if (PyTuple_Size(item) != 2) return Err(invalid("CacheInput must contain data and metadata"));
  // Borrowed from the tuple, which the caller keeps alive and cannot change.
  PyObject* data = PyTuple_GetItem(item, 0);
  PyObject* metadata = PyTuple_GetItem(item, 1);

  WriterInput input;
  std::optional<std::vector<uint8_t>> bytes = convert_data(data);
  if (!bytes) return Err(invalid("data must be bytes-like"));
  input.data = std::move(*bytes);

  if (!PyDict_Check(metadata)) return Err(invalid("metadata must be a dict"));
  // A snapshot of the entries, so that conversion hooks that change the dict
  // cannot disturb the walk.
  PyRef items = PyRef::steal(PyDict_Items(metadata));
  if (!items) return Err(py_error());
  const Py_ssize_t count = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* entry = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(entry, 0);
    PyObject* value = PyTuple_GetItem(entry, 1);
    if (!PyUnicode_Check(key)) return Err(invalid("metadata keys must be strings"));
    ZR_ASSIGN_OR_RETURN(std::string key_text, utf8_text(key));
    std::optional<MetadataValue> converted = convert_metadata_value(value);
    if (!converted) return Err(invalid("metadata values must be bool, int, float, or str"));
    input.metadata.insert_or_assign(std::move(key_text), std::move(*converted));
  }
  return input;
}

}  // namespace zandrel::writer

namespace zandrel::writer::pipeline {

Status ensure_unique_source_paths(PyObject* sources, std::string_view base) {
  std::set<std::vector<std::string>> seen;
  const Py_ssize_t initial_length = PyList_Size(sources);
  // The list is re-measured at every step: a name property may shrink it.
  for (Py_ssize_t i = 0; i < initial_length && i < PyList_Size(sources); ++i) {
    PyRef source = PyRef::borrow(PyList_GetItem(sources, i));
    if (!source) {
      PyErr_Clear();
      break;
    }
    Result<std::string> name = extract_source_name(source.get());
    if (!name) continue;  // reported, if at all, when the source is written
    std::filesystem::path final_path = final_cache_path(base, *name);
    if (!seen.insert(path_components(final_path.native())).second) {
      return Err(CacheError::invalid_argument("duplicate generated cache path: " +
                                              final_path.string()));
    }
  }
  return {};
}

}  // namespace zandrel::writer::pipeline
