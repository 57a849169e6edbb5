#include "bindings/arg_binder.h"

#include <string>

namespace rowmend::bindings {

namespace {

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    std::string message = signature.display_name;
    const std::size_t count = signature.names.size();
    if (signature.required == count) {
        message += " takes " + std::to_string(count);
    } else {
        message +=
            " takes from " + std::to_string(signature.required) + " to " + std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given);
    message += given == 1 ? " was given" : " were given";
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
void raise_missing(const Signature& signature, std::span<PyObject*> bound) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr)
            ++missing;
    }
    std::string message = signature.display_name;
    message += " missing " + std::to_string(missing);
    message +=
        missing == 1 ? " required positional argument: " : " required positional arguments: ";
    std::size_t listed = 0;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] != nullptr)
            continue;
        if (listed > 0) {
            if (missing == 2) {
                message += " and ";
            } else {
                message += listed + 1 == missing ? ", and " : ", ";
            }
        }
        message += '\'';
        message += signature.names[i];
        message += '\'';
        ++listed;
    }
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

// The parameter a keyword names, or -1.
Py_ssize_t find_parameter(const Signature& signature, PyObject* keyword) {
    if (!PyUnicode_Check(keyword))
        return -1;
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

} // namespace

bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
    for (PyObject*& slot : bound)
        slot = nullptr;

    const Py_ssize_t positional = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(positional) > signature.names.size()) {
        raise_too_many_positional(signature, positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        bound[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }

    if (kwargs != nullptr) {
        // A dict keeps the keywords in the order the caller passed them.
        Py_ssize_t cursor = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &cursor, &keyword, &value)) {
            const Py_ssize_t index = find_parameter(signature, keyword);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError,
                             PyUnicode_Check(keyword)
                                 ? "%s got an unexpected keyword argument '%U'"
                                 : "%s got an unexpected keyword argument '%S'",
                             signature.display_name, keyword);
                return false;
            }
            PyObject*& slot = bound[static_cast<std::size_t>(index)];
            if (slot != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             signature.display_name,
                             signature.names[static_cast<std::size_t>(index)]);
                return false;
            }
            slot = value;
        }
    }

    for (std::size_t i = 0; i < signature.required; ++i) {
        if (bound[i] == nullptr) {
            raise_missing(signature, bound);
            return false;
        }
    }
    return true;
}

} // namespace rowmend::bindings
