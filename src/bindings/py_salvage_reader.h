#pragma once
// SalvageReader: salvages a whole file in memory when created, keeps the
// retained rows, and hands them to Python one at a time as lists of str.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowmend::bindings {

// The class (borrowed; it lives for the rest of the process), created on the
// first call and reused by every later one. nullptr with an exception set if
// creating it fails.
PyTypeObject* salvage_reader_type();

// Binds and converts the constructor's arguments (binding errors name
// `display_name`, "open()" or "SalvageReader.__new__()"), reads and salvages
// the file, and returns a new, fully loaded reader of class `type`; nullptr
// with an exception set on failure. Runs inside the caller's guard.
PyObject* create_salvage_reader(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                                const char* display_name);

} // namespace rowmend::bindings
