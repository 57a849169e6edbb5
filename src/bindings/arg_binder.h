#pragma once
// Binding positional and keyword arguments to a callable's parameters, every
// one of them positional-or-keyword, with the interpreter's own TypeError
// wording for Python functions.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <span>

namespace rowmend::bindings {

struct Signature {
    const char* display_name;           // "salvage_file()", "SalvageReader.__new__()"
    std::span<const char* const> names; // every parameter, in order
    std::size_t required;               // the first `required` have no default
};

// Fills `bound[i]` (one slot per parameter) with a borrowed reference to the
// argument for parameter i, or nullptr when it was not passed. The references
// live as long as `args` and `kwargs`. Checks, in this order, the number of
// positional arguments, each keyword in the order passed, then the required
// parameters; returns false with TypeError set at the first failure.
// `kwargs` may be nullptr.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound);

} // namespace rowmend::bindings
