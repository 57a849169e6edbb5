#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "bindings/io_exceptions.h"

#include <string>

#include "bindings/py_ref.h"

namespace rowmend::bindings {

namespace {

PyObject* exception_class_for(IoErrorKind kind) {
    switch (kind) {
    case IoErrorKind::NotFound:
        return PyExc_FileNotFoundError;
    case IoErrorKind::PermissionDenied:
        return PyExc_PermissionError;
    case IoErrorKind::ConnectionRefused:
        return PyExc_ConnectionRefusedError;
    case IoErrorKind::ConnectionReset:
        return PyExc_ConnectionResetError;
    case IoErrorKind::ConnectionAborted:
        return PyExc_ConnectionAbortedError;
    case IoErrorKind::BrokenPipe:
        return PyExc_BrokenPipeError;
    case IoErrorKind::AlreadyExists:
        return PyExc_FileExistsError;
    case IoErrorKind::WouldBlock:
        return PyExc_BlockingIOError;
    case IoErrorKind::NotADirectory:
        return PyExc_NotADirectoryError;
    case IoErrorKind::IsADirectory:
        return PyExc_IsADirectoryError;
    case IoErrorKind::TimedOut:
        return PyExc_TimeoutError;
    case IoErrorKind::Interrupted:
        return PyExc_InterruptedError;
    case IoErrorKind::OutOfMemory:
        return PyExc_MemoryError;
    case IoErrorKind::Other:
        break;
    }
    return PyExc_OSError;
}

void raise_with_text(PyObject* exception_class, const std::string& text) {
    // C library descriptions are ASCII in the C locale; an unusual one must
    // still become some text rather than a decoding error.
    PyRef message(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!message)
        return;
    // A str value (not a tuple) becomes the exception's single argument.
    PyErr_SetObject(exception_class, message.get());
}

} // namespace

void raise_salvage_error(const SalvageError& error) {
    if (error.is_interrupted()) {
        // The signal handler's exception (KeyboardInterrupt) is already set.
        if (PyErr_Occurred() == nullptr)
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        return;
    }
    raise_with_text(error.is_same_output_file() ? PyExc_ValueError : PyExc_OSError, error.text());
}

void raise_reader_io_error(const IoError& error) {
    raise_with_text(exception_class_for(error.kind()), error.text());
}

} // namespace rowmend::bindings
