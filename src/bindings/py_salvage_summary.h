#pragma once
// SalvageSummary: the read-only report of one salvage run. Python code reads
// it but cannot create, change or subclass it; instances come only from
// salvage_file and SalvageReader.summary.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "salvage/salvage_pass.h"

namespace rowmend::bindings {

// The class (borrowed; it lives for the rest of the process), created on the
// first call and the same object on every later one, also for a module that
// is executed again. nullptr with an exception set if creating it fails.
PyTypeObject* salvage_summary_type();

// A new SalvageSummary holding a copy of `counters`, its delimiter byte as
// the one-character text whose code point is the byte. A new reference, or
// nullptr with an exception set.
PyObject* new_salvage_summary(const SalvageCounters& counters);

} // namespace rowmend::bindings
