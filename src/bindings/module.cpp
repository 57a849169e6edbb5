// The module object: its definition, its one execution step and the
// initialisation function, the shared library's only exported symbol.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/docstrings.h"
#include "bindings/guarded_call.h"
#include "bindings/module_functions.h"
#include "bindings/py_ref.h"
#include "bindings/py_salvage_reader.h"
#include "bindings/py_salvage_summary.h"

namespace rowmend::bindings {

namespace {

// The module's own version: its surface stays as it is while the package
// (whose version is CMake's project() version) moves on.
constexpr const char* kVersion = "0.2.0";

bool set_text_attribute(PyObject* module, const char* name, const char* value) {
    PyRef text(PyUnicode_FromString(value));
    if (!text)
        return false;
    return PyObject_SetAttrString(module, name, text.get()) == 0;
}

bool set_all(PyObject* module) {
    static constexpr const char* kPublicNames[] = {
        "salvage_file", "sniff", "open", "SalvageSummary", "SalvageReader",
    };
    PyRef names(PyList_New(static_cast<Py_ssize_t>(std::size(kPublicNames))));
    if (!names)
        return false;
    Py_ssize_t index = 0;
    for (const char* public_name : kPublicNames) {
        PyObject* text = PyUnicode_FromString(public_name);
        if (text == nullptr)
            return false;
        PyList_SET_ITEM(names.get(), index, text); // steals `text`
        ++index;
    }
    return PyObject_SetAttrString(module, "__all__", names.get()) == 0;
}

bool set_class(PyObject* module, const char* name, PyTypeObject* type) {
    if (type == nullptr)
        return false;
    return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

// Each step's failure stops the import with its exception; what was already
// set stays set.
int exec_module(PyObject* module) {
    return guarded<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            PyErr_Format(PyExc_TypeError, "expected a module object, got '%s'",
                         Py_TYPE(module)->tp_name);
            return -1;
        }
        if (!set_text_attribute(module, "__version__", kVersion))
            return -1;
        if (!set_text_attribute(module, "__doc__", docs::kModule))
            return -1;
        if (!set_all(module))
            return -1;
        if (!add_module_functions(module))
            return -1;
        if (!set_class(module, "SalvageSummary", salvage_summary_type()))
            return -1;
        if (!set_class(module, "SalvageReader", salvage_reader_type()))
            return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// No per-module state: the module keeps nothing mutable, and its two classes
// are process-wide.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_rowmend_backend",
    docs::kModuleInitial,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

} // namespace rowmend::bindings

PyMODINIT_FUNC PyInit__rowmend_backend(void) {
    return PyModuleDef_Init(&rowmend::bindings::module_def);
}
