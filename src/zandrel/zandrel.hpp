// The runtime class Zandrel: it owns a worker pool, and datasets and write
// calls borrow the pool from it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "zandrel/host.hpp"
#include "zandrel/worker_pool.hpp"

namespace zandrel {

// What a caller takes from a Zandrel object: a new shared handle of its pool
// and its worker count. Callers never keep the Zandrel object itself.
struct RuntimeHandle {
  std::shared_ptr<WorkerPool> pool;
  size_t num_workers;
};

// The handle of `object` when it is a Zandrel; otherwise nullopt with a
// TypeError naming `argument` set.
std::optional<RuntimeHandle> runtime_from_object(PyObject* object, const char* argument);

}  // namespace zandrel
