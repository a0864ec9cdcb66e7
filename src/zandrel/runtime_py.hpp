// The host iterator class "PyDatasetIterator": what iterating a CachedDataset
// returns. It is not added to the module; its objects are made only here.
//
// Everything here runs on the host thread with the interpreter lock held.
#pragma once

#include <memory>

#include "zandrel/host.hpp"
#include "zandrel/runtime.hpp"

namespace zandrel {

// Creates the iterator type once; 0, or -1 with an exception set. Called when
// the module registers CachedDataset.
int init_dataset_iterator_type();

// A new PyDatasetIterator over `iterator`, yielding (bytes, dict, int, int)
// with the dict's keys in `schema` order. nullptr with an exception set when
// the object cannot be made (the iterator is then released, cancelling its
// loads).
PyObject* new_dataset_iterator(const MetadataSchema& schema,
                               std::unique_ptr<RuntimeIterator> iterator);

}  // namespace zandrel
