#include "zandrel/host.hpp"

namespace zandrel::host {

PyObject* raise_cache_error(const CacheError& error) {
  PyErrSpec pending = into_py_err(error);
  PyObject* type = PyExc_RuntimeError;
  switch (pending.type) {
    case PyErrSpec::Type::kValueError:
      type = PyExc_ValueError;
      break;
    case PyErrSpec::Type::kRuntimeError:
      type = PyExc_RuntimeError;
      break;
    case PyErrSpec::Type::kKeyboardInterrupt:
      type = PyExc_KeyboardInterrupt;
      break;
    case PyErrSpec::Type::kSystemExit:
      type = PyExc_SystemExit;
      break;
  }
  PyRef text = PyRef::steal(
      PyUnicode_DecodeUTF8(pending.argument.data(), static_cast<Py_ssize_t>(pending.argument.size()),
                           "replace"));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

bool bind_arguments(PyObject* args, PyObject* kwargs, const char* function,
                    std::span<const char* const> names, std::span<PyObject*> out) {
  // Format "OOO...:function"; PyArg_ParseTupleAndKeywords gives the host's
  // standard messages for missing, duplicated and surplus arguments.
  PyObject* slots[8] = {};
  if (names.size() > 8 || out.size() < names.size()) {
    PyErr_SetString(PyExc_SystemError, "too many arguments to bind");
    return false;
  }
  std::string format(names.size(), 'O');
  format += ':';
  format += function;
  std::vector<char*> keywords;
  for (const char* name : names) keywords.push_back(const_cast<char*>(name));
  keywords.push_back(nullptr);
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), keywords.data(), &slots[0],
                                   &slots[1], &slots[2], &slots[3], &slots[4], &slots[5],
                                   &slots[6], &slots[7])) {
    return false;
  }
  for (size_t i = 0; i < names.size(); ++i) out[i] = slots[i];
  return true;
}

namespace {

// Replaces the pending exception with TypeError("argument '<name>': <its
// message>").
void raise_argument_type_error(const char* name) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type), value_ref = PyRef::steal(value),
        traceback_ref = PyRef::steal(traceback);
  PyRef text = value ? PyRef::steal(PyObject_Str(value)) : PyRef();
  std::optional<std::string> message = text ? str_utf8(text.get()) : std::nullopt;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "argument '%s': %s", name, message ? message->c_str() : "");
}

}  // namespace

void name_argument_error(const char* name) {
  if (PyErr_ExceptionMatches(PyExc_TypeError)) raise_argument_type_error(name);
}

std::optional<uint64_t> extract_u64(PyObject* object, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) {
    name_argument_error(name);
    return std::nullopt;
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_argument_error(name);
    return std::nullopt;
  }
  return static_cast<uint64_t>(value);
}

std::optional<size_t> extract_usize(PyObject* object, const char* name) {
  static_assert(sizeof(size_t) == sizeof(uint64_t), "64-bit targets only");
  return extract_u64(object, name);
}

std::optional<bool> extract_bool(PyObject* object, const char* name) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  // NumPy's bool scalar ("numpy.bool", formerly "numpy.bool_") is accepted.
  PyRef module = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  PyRef qualname = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!module || !qualname) {
    PyErr_Clear();
  } else {
    auto module_text = str_utf8(module.get());
    auto name_text = str_utf8(qualname.get());
    PyErr_Clear();
    if (module_text == "numpy" && (name_text == "bool" || name_text == "bool_")) {
      int truth = PyObject_IsTrue(object);
      if (truth < 0) return std::nullopt;
      return truth != 0;
    }
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyBool'", name,
               type_name(object).c_str());
  return std::nullopt;
}

std::optional<std::string> extract_str(PyObject* object, const char* name) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyString'",
                 name, type_name(object).c_str());
    return std::nullopt;
  }
  auto text = str_utf8(object);
  if (!text) {
    // A str that cannot be encoded as UTF-8 (a lone surrogate) converts no
    // better than another type: TypeError naming the argument, with the
    // encoder's message.
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      raise_argument_type_error(name);
    } else {
      name_argument_error(name);
    }
  }
  return text;
}

std::optional<std::string> str_utf8(PyObject* object) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (!data) return std::nullopt;
  return std::string(data, static_cast<size_t>(size));
}

std::string type_name(PyObject* object) {
  PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  if (!name) {
    PyErr_Clear();
    return "object";
  }
  auto text = str_utf8(name.get());
  if (!text) PyErr_Clear();
  return text.value_or("object");
}

}  // namespace zandrel::host
