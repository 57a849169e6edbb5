#pragma once
// The module's three functions: salvage_file, sniff and open.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowmend::bindings {

// Creates salvage_file, sniff and open, in this order, as built-in functions
// bound to `module` (their __self__ is the module, their __module__ its
// name) and sets each as the module attribute of its name. Returns false with
// an exception set at the first failure.
bool add_module_functions(PyObject* module);

} // namespace rowmend::bindings
