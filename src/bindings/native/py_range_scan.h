#pragma once
// The two phases of reading one file by byte ranges, for the package: each
// range scanned from its own bytes for where its rows may enter and leave
// it (scan_range), and a range walked from a known entry when no scan
// passed through it (walk_range). The rows themselves are read by Salvager
// with its range keyword.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowmend::native {

// The module's functions, ended by a sentinel.
PyMethodDef* range_scan_methods();

} // namespace rowmend::native
