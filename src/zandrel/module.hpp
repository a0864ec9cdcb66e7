// The pieces the module's exec step registers, in registration order. Each
// adds its objects to the module and returns 0, or -1 with an exception set.
#pragma once

#include "zandrel/host.hpp"

namespace zandrel {

// write_cache, then validate_source_paths (writer/entry_py.cpp).
int register_writer_functions(PyObject* module);
// class Zandrel (zandrel_py.cpp).
int register_zandrel_type(PyObject* module);
// class CachedDataset (dataset_py.cpp).
int register_cached_dataset_type(PyObject* module);

}  // namespace zandrel
