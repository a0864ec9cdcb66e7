// The host side of the list road: a SourceList over a host list (or list
// subclass) whose entries have a `name` and yield (data, metadata) tuples.
// Runs on the calling thread with the interpreter lock held; the sources' own
// code runs inside the name reads, the iteration and the conversions.
#include "zandrel/host.hpp"
#include "zandrel/writer/list_pipeline.hpp"

namespace zandrel::writer {

namespace {

class PythonSourceList final : public SourceList {
 public:
  // `list` is borrowed: the caller keeps it alive for the whole road.
  explicit PythonSourceList(PyObject* list) : list_(list) {}

  size_t length() override {
    const Py_ssize_t length = PyList_Size(list_);
    if (length < 0) {
      PyErr_Clear();
      return 0;
    }
    return static_cast<size_t>(length);
  }

  std::unique_ptr<SampleSource> entry(size_t index) override {
    PyObject* item = PyList_GetItem(list_, static_cast<Py_ssize_t>(index));  // borrowed
    if (item == nullptr) {
      PyErr_Clear();
      return nullptr;
    }
    // The entry takes its own reference for its whole pass: host code that
    // removes it from the list cannot free it under the road.
    return python_sample_source(item);
  }

  Status check_signals() override { return writer::check_signals(); }

 private:
  PyObject* list_;
};

}  // namespace

}  // namespace zandrel::writer

namespace zandrel::writer::pipeline {

Result<std::vector<WriteResult>> write_source_list(PyObject* sources,
                                                   std::string_view base_cache_dir,
                                                   const WriterConfig& config,
                                                   WriterProfiler profiler) {
  // Two entries with one destination fail the call before anything is shown,
  // created or written.
  ZR_RETURN_IF_ERROR(ensure_unique_source_paths(sources, base_cache_dir));
  PythonSourceList list(sources);
  return writer::write_source_list(list, base_cache_dir, config, std::move(profiler));
}

}  // namespace zandrel::writer::pipeline
