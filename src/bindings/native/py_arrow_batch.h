#pragma once
// ArrowBatch for Python: one completed batch, handed to Arrow consumers
// through the PyCapsule interface (__arrow_c_array__), without copying.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>
#include <vector>

#include "bindings/native/arrow_batch.h"

namespace rowmend::native {

// The class (borrowed, process-wide), created on first use; nullptr with an
// exception set if that fails.
PyTypeObject* arrow_batch_type();

// A new reference to an object sharing `batch`, whose columns carry `names`
// (one per column, then one for the line column).
PyObject* new_arrow_batch(std::shared_ptr<const ArrowBatch> batch,
                          std::shared_ptr<const std::vector<std::string>> names);

} // namespace rowmend::native
