// The host side of the list road: a SourceList over a host list (or list
// subclass) whose entries have a `name` and yield (data, metadata) tuples.
// Runs on the calling thread with the interpreter lock held; the sources' own
// code runs inside the name reads, the iteration and the conversions.
#include "zandrel/host.hpp"
#include "zandrel/writer/list_pipeline.hpp"

namespace zandrel::writer {

namespace {

using host::PyRef;

// One list entry, held by a new reference for its whole pass, so that host
// code removing it from the list cannot free it under the road.
class PythonListEntry final : public SampleSource {
 public:
  explicit PythonListEntry(PyRef source) : source_(std::move(source)) {}

  Result<std::string> name() override { return extract_source_name(source_.get()); }

  Status start_iteration() override {
    iterator_ = PyRef::steal(PyObject_GetIter(source_.get()));
    if (!iterator_) return Err(py_error());
    return {};
  }

  Status check_signals() override { return writer::check_signals(); }

  Result<bool> next_item() override {
    item_ = PyRef::steal(PyIter_Next(iterator_.get()));
    if (item_) return true;
    if (PyErr_Occurred()) return Err(py_error());
    return false;
  }

  Result<WriterInput> extract_item() override {
    PyRef item = std::move(item_);  // released when the conversion is done
    return extract_cache_input(item.get());
  }

 private:
  PyRef source_;
  PyRef iterator_;
  PyRef item_;  // the item pulled last, until it is extracted
};

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
    return std::make_unique<PythonListEntry>(PyRef::borrow(item));
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
