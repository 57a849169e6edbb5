#pragma once
// rowmend._native.ColumnTyper: the column-kind classifier over the cells of
// an Arrow string array, and the normalized text of the type it decides,
// which pyarrow's strict casts then read.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace rowmend::native {

// The type object, created on first use; nullptr with an exception set on failure.
PyTypeObject* column_typer_type();

} // namespace rowmend::native
