// The module rowmend._native: the salvage pass fed from Python, its rows
// handed out as Arrow batches. The shared library's only exported symbol is
// its initialisation function.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/guarded_call.h"
#include "bindings/native/py_arrow_batch.h"
#include "bindings/native/py_column_typer.h"
#include "bindings/native/py_range_scan.h"
#include "bindings/native/py_salvager.h"
#include "bindings/native/salvager_options.h"
#include "bindings/py_ref.h"

namespace rowmend::native {

namespace {

bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr)
        return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

int exec_module(PyObject* module) {
    return bindings::guarded<int>(-1, [&] {
        if (!add_class(module, "Salvager", salvager_type()))
            return -1;
        if (!add_class(module, "ArrowBatch", arrow_batch_type()))
            return -1;
        if (!add_class(module, "ColumnTyper", column_typer_type()))
            return -1;
        if (PyModule_AddFunctions(module, range_scan_methods()) < 0)
            return -1;
        if (PyModule_AddStringConstant(module, "__version__", ROWMEND_VERSION) < 0)
            return -1;
        // Salvager's keywords, for the package to hold against its options.
        bindings::PyRef names(salvager_keyword_names());
        if (!names || PyObject_SetAttrString(module, "OPTIONS", names.get()) < 0)
            return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// No per-module state: both classes are process-wide.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "rowmend._native",
    "The salvage pass fed in chunks, with its rows as Arrow batches.",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace rowmend::native

PyMODINIT_FUNC PyInit__native() {
    return PyModuleDef_Init(&rowmend::native::module_def);
}
