// The writer's host functions:
//
//   write_cache(runtime, sources, base_cache_dir, writer_config, reuse_existing)
//       -> [(status, name, detail), ...]
//   validate_source_paths(sources, base_cache_dir) -> None
//
// plus the reading of the writer configuration object and py_error(), the one
// conversion of a host exception into a CacheError. Everything runs on the
// calling thread with the interpreter lock held; the lock is never released.
#include <algorithm>
#include <array>
#include <exception>
#include <new>
#include <utility>

#include "zandrel/host.hpp"
#include "zandrel/module.hpp"
#include "zandrel/writer/inputs.hpp"
#include "zandrel/writer/list_pipeline.hpp"
#include "zandrel/writer/pipeline.hpp"
#include "zandrel/writer/profiler.hpp"
#include "zandrel/zandrel.hpp"

namespace zandrel::writer {

using host::PyRef;

namespace {

constexpr const char* kStrFailedText = "<exception str() failed>";

// str() of an exception as UTF-8, lone surrogates replaced by U+FFFD.
std::optional<std::string> lossy_str(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) return std::nullopt;
  PyRef encoded = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!encoded) return std::nullopt;
  char* bytes = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) < 0) return std::nullopt;
  PyRef decoded = PyRef::steal(PyUnicode_DecodeUTF8(bytes, size, "replace"));
  if (!decoded) return std::nullopt;
  return host::str_utf8(decoded.get());
}

std::string qualified_type_name(PyObject* type) {
  if (type == nullptr || !PyType_Check(type)) return "BaseException";
  PyRef name = PyRef::steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type)));
  std::optional<std::string> text = name ? host::str_utf8(name.get()) : std::nullopt;
  if (!text) {
    PyErr_Clear();
    return "BaseException";
  }
  return *text;
}

// Conversions of configuration values. Their failures leave the host's
// exception pending for py_error(); the texts follow the binding layer's.
std::optional<uint64_t> to_u64(PyObject* value) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return std::nullopt;
  unsigned long long number = PyLong_AsUnsignedLongLong(index.get());
  if (number == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  return static_cast<uint64_t>(number);
}

std::optional<bool> to_bool(PyObject* value) {
  if (value == Py_True) return true;
  if (value == Py_False) return false;
  std::optional<bool> numpy = host::extract_bool(value, "");
  if (numpy) return numpy;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'",
               host::type_name(value).c_str());
  return std::nullopt;
}

std::optional<std::string> to_text(PyObject* value) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'",
                 host::type_name(value).c_str());
    return std::nullopt;
  }
  return host::str_utf8(value);
}

std::optional<double> to_f64(PyObject* value) {
  double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
  return number;
}

Result<PyRef> get_attr(PyObject* object, const char* name) {
  PyRef value = PyRef::steal(PyObject_GetAttrString(object, name));
  if (!value) return Err(py_error());
  return value;
}

// Reads one attribute and converts it; both failures come back as py_error().
template <typename Convert>
auto read_attr(PyObject* object, const char* name, Convert convert)
    -> Result<typename decltype(convert(nullptr))::value_type> {
  ZR_ASSIGN_OR_RETURN(PyRef value, get_attr(object, name));
  auto converted = convert(value.get());
  if (!converted) return Err(py_error());
  return std::move(*converted);
}

}  // namespace

CacheError py_error() {
  PyObject *raw_type = nullptr, *raw_value = nullptr, *raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  if (raw_type == nullptr) return CacheError::python("SystemError: error return without exception set");
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  // Released on return, the traceback with them.
  PyRef type = PyRef::steal(raw_type), value = PyRef::steal(raw_value),
        traceback = PyRef::steal(raw_traceback);

  std::string text = qualified_type_name(type.get()) + ": ";
  std::optional<std::string> message = value ? lossy_str(value.get()) : std::optional<std::string>("");
  if (!message) {
    PyErr_Clear();
    message = kStrFailedText;
  }
  text += *message;

  if (PyErr_GivenExceptionMatches(type.get(), PyExc_KeyboardInterrupt)) {
    return CacheError::interrupted(std::move(text));
  }
  if (PyErr_GivenExceptionMatches(type.get(), PyExc_SystemExit)) {
    return CacheError::exit(std::move(text));
  }
  return CacheError::python(std::move(text));
}

Status check_signals() {
  if (PyErr_CheckSignals() < 0) return Err(py_error());
  return {};
}

Result<ShardCompression> extract_shard_compression(PyObject* shard_compression) {
  ZR_ASSIGN_OR_RETURN(std::string algo_text, read_attr(shard_compression, "algo", to_text));
  // The ratio is read before the algorithm is judged.
  ZR_ASSIGN_OR_RETURN(double ratio, read_attr(shard_compression, "ratio", to_f64));
  CompressionAlgo algo;
  if (algo_text == "none") {
    algo = CompressionAlgo::kNone;
  } else if (algo_text == "lz4") {
    algo = CompressionAlgo::kLz4;
  } else {
    return Err(CacheError::invalid_argument("unsupported shard compression algorithm '" +
                                            algo_text + "'"));
  }
  return ShardCompression::create(algo, ratio);
}

Result<WriterProfilerConfig> extract_writer_profiler_config(PyObject* writer_config) {
  PyRef profiler = PyRef::steal(PyObject_GetAttrString(writer_config, "profiler"));
  if (!profiler) {
    // The one place a host exception is swallowed: no profiler, no profile.
    PyErr_Clear();
    return WriterProfilerConfig{};
  }
  WriterProfilerConfig config;
  ZR_ASSIGN_OR_RETURN(config.enabled, read_attr(profiler.get(), "enabled", to_bool));
  ZR_ASSIGN_OR_RETURN(PyRef path, get_attr(profiler.get(), "path"));
  PyRef path_text = PyRef::steal(PyObject_Str(path.get()));
  if (!path_text) return Err(py_error());
  std::optional<std::string> utf8 = host::str_utf8(path_text.get());
  if (!utf8) return Err(py_error());
  config.path = std::move(*utf8);
  return config;
}

Result<WriterConfig> extract_writer_config(PyObject* writer_config, RuntimeHandle runtime,
                                           bool reuse_existing) {
  // All five attributes are read and converted before any value is judged.
  ZR_ASSIGN_OR_RETURN(uint64_t max_shard_bytes,
                      read_attr(writer_config, "max_shard_bytes", to_u64));
  ZR_ASSIGN_OR_RETURN(uint64_t prefetch_size, read_attr(writer_config, "prefetch_size", to_u64));
  ZR_ASSIGN_OR_RETURN(PyRef shard_compression, get_attr(writer_config, "shard_compression"));
  ZR_ASSIGN_OR_RETURN(bool show_progress, read_attr(writer_config, "show_progress", to_bool));
  ZR_ASSIGN_OR_RETURN(bool validate_cache, read_attr(writer_config, "validate_cache", to_bool));

  ZR_ASSIGN_OR_RETURN(MaxShardBytes max_shard, MaxShardBytes::create(max_shard_bytes));
  ZR_ASSIGN_OR_RETURN(PrefetchSize prefetch, PrefetchSize::create(prefetch_size));
  ZR_ASSIGN_OR_RETURN(ShardCompression compression,
                      extract_shard_compression(shard_compression.get()));
  ZR_ASSIGN_OR_RETURN(WriterProfilerConfig profiler, extract_writer_profiler_config(writer_config));

  return WriterConfig{
      .profiler = std::move(profiler),
      .shard_compression = compression,
      .pool = std::move(runtime.pool),
      .max_shard_bytes = max_shard,
      .prefetch_size = prefetch,
      .num_workers = runtime.num_workers,
      .show_progress = show_progress,
      .validate_cache = validate_cache,
      .reuse_existing = reuse_existing,
  };
}

Result<std::vector<WriteResult>> write_cache(RuntimeHandle runtime, PyObject* sources,
                                             std::string_view base_cache_dir,
                                             PyObject* writer_config, bool reuse_existing) {
  ZR_ASSIGN_OR_RETURN(WriterConfig config,
                      extract_writer_config(writer_config, std::move(runtime), reuse_existing));
  WriterProfiler profiler = make_profiler(config);

  Result<std::vector<WriteResult>> results;
  if (PyList_Check(sources)) {
    results = pipeline::write_source_list(sources, base_cache_dir, config, profiler);
  } else {
    Result<WriteResult> result = write_single_source(sources, base_cache_dir, config, profiler);
    if (result) {
      results = std::vector<WriteResult>{std::move(*result)};
    } else {
      results = Err(std::move(result).error());
    }
  }

  Status finished = profiler.finish();
  // The road's error wins; a profile that could not be written fails an
  // otherwise successful call (its caches stay published).
  if (results && !finished) return Err(std::move(finished).error());
  return results;
}

}  // namespace zandrel::writer

namespace zandrel {

namespace {

using host::PyRef;

PyObject* results_to_list(const std::vector<writer::WriteResult>& results) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < results.size(); ++i) {
    const writer::WriteResult& result = results[i];
    std::array<PyRef, 3> texts;
    const std::array<const std::string*, 3> parts = {&result.status, &result.name, &result.detail};
    for (size_t j = 0; j < 3; ++j) {
      texts[j] = PyRef::steal(PyUnicode_DecodeUTF8(
          parts[j]->data(), static_cast<Py_ssize_t>(parts[j]->size()), "replace"));
      if (!texts[j]) return nullptr;
    }
    PyRef tuple = PyRef::steal(PyTuple_Pack(3, texts[0].get(), texts[1].get(), texts[2].get()));
    if (!tuple) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), tuple.release());
  }
  return list.release();
}

PyObject* py_write_cache(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 5> kNames = {
      "runtime", "sources", "base_cache_dir", "writer_config", "reuse_existing"};
  std::array<PyObject*, 5> bound{};
  if (!host::bind_arguments(args, kwargs, "write_cache", kNames, bound)) return nullptr;
  std::optional<RuntimeHandle> runtime = runtime_from_object(bound[0], "runtime");
  if (!runtime) return nullptr;
  std::optional<std::string> base = host::extract_str(bound[2], "base_cache_dir");
  if (!base) return nullptr;
  std::optional<bool> reuse_existing = host::extract_bool(bound[4], "reuse_existing");
  if (!reuse_existing) return nullptr;

  return host::guarded(
      [&]() -> PyObject* {
        Result<std::vector<writer::WriteResult>> results = writer::write_cache(
            std::move(*runtime), bound[1], *base, bound[3], *reuse_existing);
        if (!results) return host::raise_cache_error(results.error());
        return results_to_list(*results);
      },
      nullptr);
}

PyObject* py_validate_source_paths(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 2> kNames = {"sources", "base_cache_dir"};
  std::array<PyObject*, 2> bound{};
  if (!host::bind_arguments(args, kwargs, "validate_source_paths", kNames, bound)) return nullptr;
  if (!PyList_Check(bound[0])) {
    PyErr_Format(PyExc_TypeError, "argument 'sources': '%s' object cannot be converted to 'PyList'",
                 host::type_name(bound[0]).c_str());
    return nullptr;
  }
  std::optional<std::string> base = host::extract_str(bound[1], "base_cache_dir");
  if (!base) return nullptr;
  return host::guarded(
      [&]() -> PyObject* {
        Status checked = writer::pipeline::ensure_unique_source_paths(bound[0], *base);
        if (!checked) return host::raise_cache_error(checked.error());
        Py_RETURN_NONE;
      },
      nullptr);
}

PyMethodDef kWriterMethods[] = {
    {"write_cache", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_write_cache)),
     METH_VARARGS | METH_KEYWORDS,
     "write_cache(runtime, sources, base_cache_dir, writer_config, reuse_existing)\n--\n\n"},
    {"validate_source_paths",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_validate_source_paths)),
     METH_VARARGS | METH_KEYWORDS,
     "validate_source_paths(sources, base_cache_dir)\n--\n\n"
     "Share native destination validation with Python source-level process orchestration."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int register_writer_functions(PyObject* module) {
  // The methods must outlive the module; the table is static.
  return PyModule_AddFunctions(module, kWriterMethods);
}

}  // namespace zandrel
