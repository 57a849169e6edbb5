#include "bindings/py_salvage_reader.h"

#include <cassert>
#include <cstddef>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "bindings/arg_binder.h"
#include "bindings/capi.h"
#include "bindings/conversions.h"
#include "bindings/docstrings.h"
#include "bindings/gil.h"
#include "bindings/guarded_call.h"
#include "bindings/io_exceptions.h"
#include "bindings/py_ref.h"
#include "bindings/py_salvage_summary.h"
#include "parser/row_store.h"
#include "salvage/file_salvage.h"
#include "salvage/posix_file.h"
#include "salvage/salvage_pass.h"

namespace rowmend::bindings {

namespace {

// The retained rows stay in the engine's compact store (one byte arena for
// all fields); a str is made for a field only when its row is handed out.
// The reader refers to no Python object.
struct PySalvageReader {
    PyObject_HEAD RowStore rows; // never changed after creation
    SalvageCounters summary;     // what `summary` reports
    std::size_t position;        // next row to hand out; only grows
};

PySalvageReader* as_reader(PyObject* self) {
    return reinterpret_cast<PySalvageReader*>(self);
}

// Keeps the retained rows of a pass; quarantined rows are only counted.
class ReaderRows final : public RowSink {
  public:
    bool begin(const SalvageCounters& layout) override {
        delimiter_ = static_cast<char>(layout.detected_delimiter);
        return true;
    }
    bool plain_rows(std::string_view lines, std::size_t, std::uint64_t) override {
        rows.append_split_lines(lines, delimiter_);
        return true;
    }
    bool row(const RowEvent& event) override {
        if (is_retained(event.fate))
            rows.append_row(event.fields);
        return true;
    }

    RowStore rows;

  private:
    char delimiter_ = ',';
};

constexpr const char* kReaderParameters[] = {
    "file_path",      "delimiter",        "quote_char",    "fill_ragged_rows",
    "merge_overflow", "expected_columns", "repair_quotes",
};
static_assert(lists_options(kReaderParameters, 1));

constexpr const char* kExitParameters[] = {"_exc_type", "_exc_val", "_exc_tb"};
constexpr Signature kExitSignature{"SalvageReader.__exit__()", kExitParameters, 0};

PyObject* field_to_str(FieldView field) {
    const auto size = static_cast<Py_ssize_t>(field.text.size());
    if (field.ascii)
        return capi::unicode_from_ascii(field.text.data(), size);
    // Every stored field is valid UTF-8, so the strict decoder never fails on it.
    return PyUnicode_FromStringAndSize(field.text.data(), size);
}

PyObject* row_to_list(RowView row) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(row.size())));
    if (!list)
        return nullptr;
    Py_ssize_t index = 0;
    for (const FieldView field : row) {
        PyObject* text = field_to_str(field);
        if (text == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), index, text); // steals `text`
        ++index;
    }
    return list.release();
}

// ---- methods -------------------------------------------------------------

PyObject* reader_enter(PyObject* self, PyObject*) {
    Py_INCREF(self);
    return self;
}

// Leaving a `with` block releases nothing and never suppresses an exception.
PyObject* reader_exit(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* bound[3];
        if (!bind_arguments(kExitSignature, args, kwargs, bound))
            return nullptr;
        Py_INCREF(Py_False);
        return Py_False;
    });
}

#if defined(PYPY_VERSION)
PyObject* reader_init_subclass(PyObject*, PyObject*, PyObject*) {
    return capi::refuse_subclass("SalvageReader");
}
#endif

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, docs::kReaderEnter},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_VARARGS | METH_KEYWORDS, docs::kReaderExit},
#if defined(PYPY_VERSION)
    {"__init_subclass__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_init_subclass)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

// A fresh summary at every read, so no caller can share or keep a live view.
PyObject* reader_get_summary(PyObject* self, void*) {
    return guarded<PyObject*>(nullptr,
                              [&] { return new_salvage_summary(as_reader(self)->summary); });
}

PyGetSetDef reader_getset[] = {
    {"summary", reader_get_summary, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- slots ---------------------------------------------------------------

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&] {
        return create_salvage_reader(type, args, kwargs, "SalvageReader.__new__()");
    });
}

PyObject* reader_next(PyObject* self) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PySalvageReader* reader = as_reader(self);
        // Returning nullptr with no exception set ends the iteration.
        if (reader->position >= reader->rows.row_count())
            return nullptr;
        // The row is claimed before any Python object is made: making them
        // can run the garbage collector and let other threads in, and two
        // threads sharing a reader must never get the same row.
        const std::size_t index = reader->position++;
        PyObject* list = row_to_list(reader->rows.row(index));
        // A row whose list could not be made (say, MemoryError) is handed
        // back for the next call, unless another thread has since moved on.
        if (list == nullptr && reader->position == index + 1)
            reader->position = index;
        return list;
    });
}

Py_ssize_t reader_length(PyObject* self) {
    return guarded<Py_ssize_t>(
        -1, [&] { return static_cast<Py_ssize_t>(as_reader(self)->rows.row_count()); });
}

// The reader holds no Python references; only its heap type is reachable.
int reader_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int reader_clear(PyObject*) {
    return 0;
}

#if defined(PYPY_VERSION)
int reader_setattro(PyObject* self, PyObject* name, PyObject* value) {
    return capi::set_listed_attribute_only(self, name, value, reader_getset);
}
#endif

void reader_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    as_reader(self)->rows.~RowStore();
    type->tp_free(self);
    // Instances of a heap type own a reference to it.
    Py_DECREF(type);
}

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(docs::kSalvageReader)},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_mp_length, reinterpret_cast<void*>(reader_length)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
#if defined(PYPY_VERSION)
    {Py_tp_setattro, reinterpret_cast<void*>(reader_setattro)},
#endif
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. No dict or weak
// reference offsets: unknown attributes and weak references are refused.
PyType_Spec reader_spec = {
    "builtins.SalvageReader",
    static_cast<int>(sizeof(PySalvageReader)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    reader_slots,
};

PyTypeObject* reader_type = nullptr;

} // namespace

PyTypeObject* salvage_reader_type() {
    if (reader_type == nullptr) {
        PyObject* created = PyType_FromSpec(&reader_spec);
        if (created == nullptr)
            return nullptr;
        reader_type = reinterpret_cast<PyTypeObject*>(created);
    }
    return reader_type;
}

PyObject* create_salvage_reader(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                                const char* display_name) {
    const Signature signature{display_name, kReaderParameters, 1};
    PyObject* bound[7];
    if (!bind_arguments(signature, args, kwargs, bound))
        return nullptr;
    std::string_view path;
    if (!convert_text(bound[0], kReaderParameters[0], path))
        return nullptr;
    SalvageOptions options;
    if (!convert_salvage_options(std::span<PyObject* const, 6>(bound + 1, 6), options))
        return nullptr;

    // The whole file is salvaged here, with the GIL released; only the
    // retained rows and the counters outlive this call.
    ReaderRows collected;
    std::optional<IoError> failure;
    bool interrupted = false;
    SalvageCounters counters;
    {
        const std::string file_path(path);
        GilReleased gil;
        SignalInterrupt interrupt(gil);
        auto file = open_for_reading(file_path, &interrupt);
        if (file) {
            SalvagePass pass(options, collected);
            failure = pump_file(file.value().fd(), pass, &interrupt);
            counters = pass.counters();
        } else {
            failure = file.error();
        }
        interrupted = interrupt.fired();
    }
    if (interrupted)
        return nullptr; // the signal handler's exception (KeyboardInterrupt) is set
    if (failure) {
        raise_reader_io_error(*failure);
        return nullptr;
    }
    assert(counters.salvaged_rows == collected.rows.row_count());

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    PySalvageReader* reader = as_reader(self);
    new (&reader->rows) RowStore(std::move(collected.rows));
    reader->summary = counters;
    reader->position = 0;
    return self;
}

} // namespace rowmend::bindings
