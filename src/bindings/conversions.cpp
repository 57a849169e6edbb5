#include "bindings/conversions.h"

#include "bindings/capi.h"
#include "bindings/py_ref.h"

namespace rowmend::bindings {

namespace {

// Adds the note naming the parameter to the pending exception. The note is a
// courtesy: if it cannot be added (no add_note before Python 3.11, or the
// call fails) the exception is raised exactly as it was.
void annotate_pending(const char* name) {
    PyRef exception(capi::take_raised_exception());
    if (!exception)
        return;
    PyRef add_note(PyObject_GetAttrString(exception.get(), "add_note"));
    if (add_note) {
        PyRef note(PyUnicode_FromFormat("while processing '%s'", name));
        if (note) {
            PyRef result(PyObject_CallOneArg(add_note.get(), note.get()));
        }
    }
    PyErr_Clear();
    capi::restore_raised_exception(exception.release());
}

// "'int' object is not an instance of 'str'", "'None' is not an instance of 'str'"
void raise_wrong_type(PyObject* argument, const char* expected) {
    if (argument == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
        return;
    }
    PyRef qualname(capi::type_qualname(Py_TYPE(argument)));
    if (!qualname)
        return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(),
                 expected);
}

bool type_named(PyTypeObject* type, const char* attribute, const char* value) {
    PyRef text(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), attribute));
    if (!text) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(text.get()) && PyUnicode_CompareWithASCIIString(text.get(), value) == 0;
}

// numpy's boolean scalar is numpy.bool_ before numpy 2 and numpy.bool after.
// Matched by name, so the module never imports numpy itself.
bool is_numpy_bool(PyObject* argument) {
    PyTypeObject* type = Py_TYPE(argument);
    if (!type_named(type, "__module__", "numpy"))
        return false;
    return type_named(type, "__name__", "bool_") || type_named(type, "__name__", "bool");
}

} // namespace

bool convert_text(PyObject* argument, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(argument)) {
        raise_wrong_type(argument, "str");
        annotate_pending(name);
        return false;
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(argument, &size);
    if (bytes == nullptr) {
        annotate_pending(name);
        return false;
    }
    out = std::string_view(bytes, static_cast<std::size_t>(size));
    return true;
}

bool convert_optional_text(PyObject* argument, const char* name,
                           std::optional<std::string_view>& out) {
    if (argument == nullptr || argument == Py_None) {
        out.reset();
        return true;
    }
    std::string_view text;
    if (!convert_text(argument, name, text))
        return false;
    out = text;
    return true;
}

bool convert_flag(PyObject* argument, const char* name, bool& out) {
    if (argument == nullptr)
        return true;
    if (argument == Py_True || argument == Py_False) {
        out = argument == Py_True;
        return true;
    }
    if (is_numpy_bool(argument)) {
        // numpy's __bool__ answers for its scalar.
        const int truth = PyObject_IsTrue(argument);
        if (truth < 0) {
            annotate_pending(name);
            return false;
        }
        out = truth != 0;
        return true;
    }
    raise_wrong_type(argument, "bool");
    annotate_pending(name);
    return false;
}

bool convert_optional_count(PyObject* argument, const char* name,
                            std::optional<std::uint64_t>& out) {
    if (argument == nullptr || argument == Py_None) {
        out.reset();
        return true;
    }
    PyRef index(PyNumber_Index(argument));
    if (!index) {
        annotate_pending(name);
        return false;
    }
    const unsigned long long count = PyLong_AsUnsignedLongLong(index.get());
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
        annotate_pending(name);
        return false;
    }
    out = static_cast<std::uint64_t>(count);
    return true;
}

bool convert_salvage_options(std::span<PyObject* const, 6> arguments, SalvageOptions& options) {
    std::optional<std::string_view> delimiter;
    if (!convert_optional_text(arguments[0], kOptionNames[0], delimiter))
        return false;
    // Only the first byte counts; an empty string asks for sniffing.
    if (delimiter && !delimiter->empty()) {
        options.delimiter = static_cast<std::uint8_t>(delimiter->front());
    } else {
        options.delimiter.reset();
    }

    options.quote_char = '"';
    if (arguments[1] != nullptr) {
        std::string_view quote;
        if (!convert_text(arguments[1], kOptionNames[1], quote))
            return false;
        if (!quote.empty())
            options.quote_char = static_cast<std::uint8_t>(quote.front());
    }

    options.fill_ragged_rows = true;
    if (!convert_flag(arguments[2], kOptionNames[2], options.fill_ragged_rows))
        return false;
    options.merge_overflow = true;
    if (!convert_flag(arguments[3], kOptionNames[3], options.merge_overflow))
        return false;
    if (!convert_optional_count(arguments[4], kOptionNames[4], options.expected_columns))
        return false;
    options.repair_quotes = true;
    return convert_flag(arguments[5], kOptionNames[5], options.repair_quotes);
}

} // namespace rowmend::bindings
