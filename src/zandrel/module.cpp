// Module _zandrel, the package's native half.
//
//   write_cache(runtime, sources, base_cache_dir, writer_config, reuse_existing) -> list
//   validate_source_paths(sources, base_cache_dir) -> None
//   class Zandrel(num_workers)
//   class CachedDataset(runtime, paths, seed, prefetch_size, shuffle, validate_cache)
//
// Importing registers these four names and nothing else happens: no thread is
// started and no file or environment variable is read.
#include "zandrel/module.hpp"

namespace {

int zandrel_exec(PyObject* module) {
  if (zandrel::register_writer_functions(module) < 0) return -1;
  if (zandrel::register_zandrel_type(module) < 0) return -1;
  if (zandrel::register_cached_dataset_type(module) < 0) return -1;
  return 0;
}

PyModuleDef_Slot zandrel_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(zandrel_exec)},
    {0, nullptr},
};

PyModuleDef zandrel_module = {
    PyModuleDef_HEAD_INIT,
    /*m_name=*/"_zandrel",
    /*m_doc=*/"",
    /*m_size=*/0,
    /*m_methods=*/nullptr,
    /*m_slots=*/zandrel_slots,
    /*m_traverse=*/nullptr,
    /*m_clear=*/nullptr,
    /*m_free=*/nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__zandrel(void) { return PyModuleDef_Init(&zandrel_module); }
