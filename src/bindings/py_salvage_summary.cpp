#include "bindings/py_salvage_summary.h"

#include <cstdint>
#include <string>
#include <string_view>

#include "bindings/capi.h"
#include "bindings/docstrings.h"
#include "bindings/guarded_call.h"
#include "bindings/py_ref.h"
#include "salvage/byte_text.h"

namespace rowmend::bindings {

namespace {

// Owns its delimiter text outright and refers to no other Python object,
// which is why the type needs no garbage-collector support.
struct PySalvageSummary {
    PyObject_HEAD std::uint64_t total_rows;
    std::uint64_t salvaged_rows;
    std::uint64_t repaired_rows;
    std::uint64_t quarantined_rows;
    char detected_delimiter[2]; // UTF-8 of one character: one or two bytes
    std::uint8_t detected_delimiter_size;
    std::uint64_t inferred_columns;
};

PySalvageSummary* as_summary(PyObject* self) {
    return reinterpret_cast<PySalvageSummary*>(self);
}

std::string_view delimiter_text(const PySalvageSummary* summary) {
    return {summary->detected_delimiter, summary->detected_delimiter_size};
}

PyObject* text_to_str(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- attributes ----------------------------------------------------------

template <std::uint64_t PySalvageSummary::*Field> PyObject* get_count(PyObject* self, void*) {
    return guarded<PyObject*>(
        nullptr, [&] { return PyLong_FromUnsignedLongLong(as_summary(self)->*Field); });
}

PyObject* get_detected_delimiter(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr,
                              [&] { return text_to_str(delimiter_text(as_summary(self))); });
}

// Read-only: no setters, no documentation.
PyGetSetDef summary_getset[] = {
    {"total_rows", get_count<&PySalvageSummary::total_rows>, nullptr, nullptr, nullptr},
    {"salvaged_rows", get_count<&PySalvageSummary::salvaged_rows>, nullptr, nullptr, nullptr},
    {"repaired_rows", get_count<&PySalvageSummary::repaired_rows>, nullptr, nullptr, nullptr},
    {"quarantined_rows", get_count<&PySalvageSummary::quarantined_rows>, nullptr, nullptr, nullptr},
    {"detected_delimiter", get_detected_delimiter, nullptr, nullptr, nullptr},
    {"inferred_columns", get_count<&PySalvageSummary::inferred_columns>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- methods -------------------------------------------------------------

bool set_count(PyObject* dict, const char* key, std::uint64_t value) {
    PyRef number(PyLong_FromUnsignedLongLong(value));
    if (!number)
        return false;
    return PyDict_SetItemString(dict, key, number.get()) == 0;
}

PyObject* summary_to_dict(PyObject* self, PyObject*) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        const PySalvageSummary* summary = as_summary(self);
        PyRef dict(PyDict_New());
        if (!dict)
            return nullptr;
        // Insertion order is the dict's iteration order, and the attributes'.
        if (!set_count(dict.get(), "total_rows", summary->total_rows))
            return nullptr;
        if (!set_count(dict.get(), "salvaged_rows", summary->salvaged_rows))
            return nullptr;
        if (!set_count(dict.get(), "repaired_rows", summary->repaired_rows))
            return nullptr;
        if (!set_count(dict.get(), "quarantined_rows", summary->quarantined_rows))
            return nullptr;
        PyRef delimiter(text_to_str(delimiter_text(summary)));
        if (!delimiter)
            return nullptr;
        if (PyDict_SetItemString(dict.get(), "detected_delimiter", delimiter.get()) < 0)
            return nullptr;
        if (!set_count(dict.get(), "inferred_columns", summary->inferred_columns))
            return nullptr;
        return dict.release();
    });
}

#if defined(PYPY_VERSION)
PyObject* summary_init_subclass(PyObject*, PyObject*, PyObject*) {
    return capi::refuse_subclass("SalvageSummary");
}
#endif

PyMethodDef summary_methods[] = {
    {"to_dict", summary_to_dict, METH_NOARGS, docs::kSummaryToDict},
#if defined(PYPY_VERSION)
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(summary_init_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

// ---- slots ---------------------------------------------------------------

PyObject* summary_repr(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&] {
        const PySalvageSummary* summary = as_summary(self);
        // The delimiter goes in as it is, unescaped, even a tab or a quote.
        std::string text = "<SalvageSummary total_rows=" + std::to_string(summary->total_rows);
        text += " salvaged_rows=" + std::to_string(summary->salvaged_rows);
        text += " repaired_rows=" + std::to_string(summary->repaired_rows);
        text += " quarantined_rows=" + std::to_string(summary->quarantined_rows);
        text += " delimiter='";
        text += delimiter_text(summary);
        text += "' inferred_columns=" + std::to_string(summary->inferred_columns);
        text += '>';
        return text_to_str(text);
    });
}

#if defined(PYPY_VERSION)
int summary_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return capi::set_listed_attribute_only(self, name, value, summary_getset);
}
#endif

void summary_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    // Instances of a heap type own a reference to it.
    Py_DECREF(type);
}

PyType_Slot summary_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kSalvageSummary)},
    {Py_tp_dealloc, reinterpret_cast<void*>(summary_dealloc)},
    {Py_tp_getset, summary_getset},
    {Py_tp_methods, summary_methods},
    {Py_tp_repr, reinterpret_cast<void*>(summary_repr)},
#if defined(PYPY_VERSION)
    {Py_tp_new, reinterpret_cast<void*>(capi::refuse_instantiation)},
    {Py_tp_setattro, reinterpret_cast<void*>(summary_setattro)},
#endif
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or weak
// reference offsets: unknown attributes cannot be set.
PyType_Spec summary_spec = {
    "builtins.SalvageSummary",
    static_cast<int>(sizeof(PySalvageSummary)),
    0,
    Py_TPFLAGS_DEFAULT,
    summary_slots,
};

PyTypeObject* summary_type = nullptr;

} // namespace

PyTypeObject* salvage_summary_type() {
    if (summary_type == nullptr) {
        PyObject* created = PyType_FromSpec(&summary_spec);
        if (created == nullptr)
            return nullptr;
        summary_type = reinterpret_cast<PyTypeObject*>(created);
        capi::forbid_instantiation(summary_type);
    }
    return summary_type;
}

PyObject* new_salvage_summary(const SalvageCounters& counters) {
    PyTypeObject* type = salvage_summary_type();
    if (type == nullptr)
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    PySalvageSummary* summary = as_summary(self);
    summary->total_rows = counters.total_rows;
    summary->salvaged_rows = counters.salvaged_rows;
    summary->repaired_rows = counters.repaired_rows;
    summary->quarantined_rows = counters.quarantined_rows;
    const ByteText text(counters.detected_delimiter);
    const std::string_view delimiter = text.view();
    summary->detected_delimiter[0] = delimiter[0];
    summary->detected_delimiter[1] = delimiter.size() > 1 ? delimiter[1] : '\0';
    summary->detected_delimiter_size = static_cast<std::uint8_t>(delimiter.size());
    summary->inferred_columns = counters.inferred_columns;
    return self;
}

} // namespace rowmend::bindings
