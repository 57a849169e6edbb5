#pragma once
// Salvager for Python: the salvage pass fed chunk by chunk from Python, its
// retained rows collected into Arrow batches.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowmend::native {

// The class (borrowed, process-wide), created on first use; nullptr with an
// exception set if that fails.
PyTypeObject* salvager_type();

} // namespace rowmend::native
