#include "bindings/guarded_call.h"

namespace rowmend::bindings {

namespace {

// Kept for the life of the process, like the module's two classes; the
// interpreter lock serialises its creation.
PyObject* internal_fault_class = nullptr;

PyObject* get_internal_fault_class() noexcept {
    if (internal_fault_class == nullptr) {
        internal_fault_class =
            PyErr_NewException("_rowmend_backend.InternalFault", PyExc_BaseException, nullptr);
    }
    return internal_fault_class;
}

} // namespace

void raise_out_of_memory() noexcept {
    PyErr_NoMemory();
}

void raise_internal_fault(const char* what) noexcept {
    PyObject* fault_class = get_internal_fault_class();
    if (fault_class == nullptr)
        return; // the failure to create it is raised instead
    PyErr_Format(fault_class, "internal fault in _rowmend_backend: %s", what);
}

} // namespace rowmend::bindings
