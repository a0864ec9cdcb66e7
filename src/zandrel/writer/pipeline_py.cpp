// The host side of both write roads: a SampleSource over a host object that
// has a `name` and yields (data, metadata) tuples. Runs on the calling thread
// with the interpreter lock held; the source's own code runs inside name(),
// the iteration and the conversions.
#include "zandrel/host.hpp"
#include "zandrel/writer/pipeline.hpp"

namespace zandrel::writer {

namespace {

using host::PyRef;

class PythonSampleSource final : public SampleSource {
 public:
  explicit PythonSampleSource(PyRef source) : source_(std::move(source)) {}

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

}  // namespace

std::unique_ptr<SampleSource> python_sample_source(PyObject* source) {
  return std::make_unique<PythonSampleSource>(PyRef::borrow(source));
}

Result<WriteResult> write_single_source(PyObject* source, std::string_view base_cache_dir,
                                        const WriterConfig& config,
                                        const WriterProfiler& profiler) {
  std::unique_ptr<SampleSource> adapter = python_sample_source(source);
  return write_single_source(*adapter, base_cache_dir, config, profiler);
}

}  // namespace zandrel::writer
