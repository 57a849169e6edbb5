#pragma once
// Compatibility helpers over the Python C API, chosen at compile time, for
// what PyPy 3.9's cpyext and older CPython versions lack. Everything else in
// src/bindings uses the plain API that every supported interpreter has.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

namespace rowmend::bindings::capi {

// The type's __qualname__ as a new str reference, or nullptr with an
// exception set.
inline PyObject* type_qualname(PyTypeObject* type) {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030B0000
    return PyType_GetQualName(type);
#else
    return PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__");
#endif
}

// Takes the exception being raised out of the thread state as one
// normalised exception object (a new reference), leaving no exception set.
// Returns nullptr, with the error left in place, when there is nothing to
// take or the exception could not be normalised into an object.
inline PyObject* take_raised_exception() {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr)
        return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value == nullptr) {
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }
    if (traceback != nullptr) {
        // Keeps the traceback with the object, so that raising it again
        // restores everything that was taken.
        if (PyException_SetTraceback(value, traceback) < 0)
            PyErr_Clear();
        Py_DECREF(traceback);
    }
    Py_DECREF(type);
    return value;
#endif
}

// Raises `exception` again; steals the reference.
inline void restore_raised_exception(PyObject* exception) {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception);
#else
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// A str from bytes known to be ASCII. CPython lets us fill a compact ASCII
// string directly and skip the UTF-8 decoder; cpyext keeps its own string
// representation, so there the ordinary constructor is the right path.
inline PyObject* unicode_from_ascii(const char* bytes, Py_ssize_t size) {
#if !defined(PYPY_VERSION)
    PyObject* text = PyUnicode_New(size, 127);
    if (text == nullptr)
        return nullptr;
    if (size > 0)
        std::memcpy(PyUnicode_1BYTE_DATA(text), bytes, static_cast<std::size_t>(size));
    return text;
#else
    return PyUnicode_FromStringAndSize(bytes, size);
#endif
}

// A heap type whose instances only the module creates. CPython refuses
// `Type()` by itself once tp_new is cleared on the finished type, with its
// own message. cpyext builds its interpreter-level type from the slots at
// creation time and does not see a later change, so there the type carries a
// tp_new slot that refuses in the same words.
#if defined(PYPY_VERSION)
inline constexpr bool kRefuseInstantiationBySlot = true;
#else
inline constexpr bool kRefuseInstantiationBySlot = false;
#endif

#if defined(PYPY_VERSION)
// cpyext gives the instances of every heap type a __dict__, where an unknown
// attribute would be stored instead of refused. This setter lets only the
// type's own descriptors (all read-only, so they refuse too) answer.
inline int set_listed_attribute_only(PyObject* self, PyObject* name, PyObject* value,
                                     const PyGetSetDef* getset) {
    if (PyUnicode_Check(name)) {
        for (const PyGetSetDef* def = getset; def->name != nullptr; ++def) {
            if (PyUnicode_CompareWithASCIIString(name, def->name) == 0) {
                return PyObject_GenericSetAttr(self, name, value);
            }
        }
    }
    PyErr_Format(PyExc_AttributeError, "'%s' object has no attribute '%S'", Py_TYPE(self)->tp_name,
                 name);
    return -1;
}

// cpyext ignores a missing Py_TPFLAGS_BASETYPE. The interpreter runs the
// base's __init_subclass__ for every new subclass, which can refuse it.
inline PyObject* refuse_subclass(const char* base_name) {
    PyErr_Format(PyExc_TypeError, "type '%s' is not an acceptable base type", base_name);
    return nullptr;
}
#endif

inline PyObject* refuse_instantiation(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

inline void forbid_instantiation(PyTypeObject* type) {
    if constexpr (!kRefuseInstantiationBySlot)
        type->tp_new = nullptr;
}

} // namespace rowmend::bindings::capi
