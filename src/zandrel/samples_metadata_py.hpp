// The four CachedDataset methods that read and replace the samples metadata
// table: metadata_ipc / samples_metadata_ipc and update_metadata_ipc /
// set_samples_metadata_ipc. The class (dataset_py.cpp) owns the object layout
// and the PyMethodDef entries; each entry takes the DatasetState out of `self`
// and calls one of the bodies below, with the docstring beside it.
//
// Everything here runs on the host thread with the interpreter lock held.
#pragma once

#include "zandrel/dataset.hpp"
#include "zandrel/host.hpp"

namespace zandrel {

// Docstrings with their text signatures, for the four PyMethodDef entries.
inline constexpr char kMetadataIpcDoc[] =
    "metadata_ipc($self)\n--\n\n"
    "Return Arrow IPC metadata for the current active sample table.";
inline constexpr char kSamplesMetadataIpcDoc[] =
    "samples_metadata_ipc($self)\n--\n\n"
    "Return Arrow IPC metadata using the compatibility native method name.";
inline constexpr char kUpdateMetadataIpcDoc[] =
    "update_metadata_ipc($self, ipc)\n--\n\n"
    "Replace the active metadata table after the native side has validated "
    "the rows' identities and weights.";
inline constexpr char kSetSamplesMetadataIpcDoc[] =
    "set_samples_metadata_ipc($self, ipc)\n--\n\n"
    "Replace metadata using the compatibility native method name.";

// Body of metadata_ipc and samples_metadata_ipc (METH_NOARGS): the installed
// table's bytes, or a table built from the caches. A new bytes object, or
// nullptr with an exception set.
PyObject* metadata_ipc_method(DatasetState& state);

// Body of update_metadata_ipc and set_samples_metadata_ipc
// (METH_VARARGS | METH_KEYWORDS): binds the one argument `ipc` (bytes only),
// validates it without the dataset mutex, then installs it and resets the
// sequential cursor and draw offset under the mutex. `method_name` names the
// method in argument-binding errors. Py_None, or nullptr with an exception set.
PyObject* update_metadata_ipc_method(DatasetState& state, PyObject* args, PyObject* kwargs,
                                     const char* method_name);

}  // namespace zandrel
