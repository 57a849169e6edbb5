#include "bindings/native/py_column_typer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bindings/gil.h"
#include "bindings/guarded_call.h"
#include "bindings/py_ref.h"
#include "heuristics/column_kind.h"

namespace rowmend::native {

using bindings::GilReleased;
using bindings::guarded;
using bindings::PyRef;
namespace kinds = rowmend::kinds;

namespace {

// The rules own the texts their null spellings view.
struct PyColumnTyper {
    PyObject_HEAD std::vector<std::string>* null_texts;
    kinds::KindRules* rules;
    kinds::ColumnKinds* column;
    kinds::ColumnType* decided;
    bool has_decided;
};

PyColumnTyper* as_typer(PyObject* self) {
    return reinterpret_cast<PyColumnTyper*>(self);
}

// The exported buffer of a bytes-like object, released on every way out.
class BufferView {
  public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_)
            PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    const char* data() const noexcept { return static_cast<const char*>(view_.buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// An Arrow string or large_string array's cells, read from its offsets and
// data buffers; checked against the buffers' sizes before any is read.
class StringCells {
  public:
    bool open(PyObject* offsets, PyObject* data, Py_ssize_t offset, Py_ssize_t length, int large) {
        if (!offsets_.acquire(offsets) || !data_.acquire(data))
            return false;
        width_ = large ? 8 : 4;
        if (offset < 0 || length < 0 ||
            (static_cast<std::size_t>(offset) + static_cast<std::size_t>(length) + 1) * width_ >
                offsets_.size()) {
            PyErr_SetString(PyExc_ValueError, "the offsets buffer is shorter than the array");
            return false;
        }
        first_ = static_cast<std::size_t>(offset);
        length_ = static_cast<std::size_t>(length);
        for (std::size_t i = 0; i <= length_; ++i) {
            const std::int64_t at = position(i);
            if (at < 0 || static_cast<std::size_t>(at) > data_.size() ||
                (i > 0 && at < position(i - 1))) {
                PyErr_SetString(PyExc_ValueError, "the offsets point outside the data buffer");
                return false;
            }
        }
        return true;
    }
    std::size_t size() const noexcept { return length_; }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::int64_t begin = position(i);
        return {data_.data() + begin, static_cast<std::size_t>(position(i + 1) - begin)};
    }
    std::size_t bytes() const noexcept {
        return length_ == 0 ? 0 : static_cast<std::size_t>(position(length_) - position(0));
    }

  private:
    std::int64_t position(std::size_t i) const noexcept {
        const char* at = offsets_.data() + (first_ + i) * width_;
        if (width_ == 8) {
            std::int64_t value;
            std::memcpy(&value, at, 8);
            return value;
        }
        std::int32_t value;
        std::memcpy(&value, at, 4);
        return value;
    }

    BufferView offsets_, data_;
    std::size_t width_ = 4, first_ = 0, length_ = 0;
};

bool parse_cells(PyObject* args, StringCells& cells, const char* format) {
    PyObject *offsets = nullptr, *data = nullptr;
    Py_ssize_t offset = 0, length = 0;
    int large = 0;
    if (!PyArg_ParseTuple(args, format, &offsets, &data, &offset, &length, &large))
        return false;
    return cells.open(offsets, data, offset, length, large);
}

void typer_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyColumnTyper* typer = as_typer(self);
    delete typer->decided;
    delete typer->column;
    delete typer->rules;
    delete typer->null_texts;
    type->tp_free(self);
    Py_DECREF(type);
}

// A str option's UTF-8 text (None leaves `out` empty).
bool text_option(PyObject* value, const char* name, std::string& out) {
    if (value == nullptr || value == Py_None)
        return true;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
    if (text == nullptr) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError, "%s must be a str or None", name);
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

PyObject* typer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"null_values", "decimal", "thousands", nullptr};
        PyObject *nulls = Py_None, *decimal = Py_None, *thousands = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$OOO:ColumnTyper",
                                         const_cast<char**>(keywords), &nulls, &decimal,
                                         &thousands))
            return nullptr;
        std::string mark, grouping;
        if (!text_option(decimal, "decimal", mark) ||
            !text_option(thousands, "thousands", grouping))
            return nullptr;
        auto texts = std::make_unique<std::vector<std::string>>();
        auto rules = std::make_unique<kinds::KindRules>();
        if (nulls != Py_None) {
            PyRef sequence(PySequence_Fast(nulls, "null_values must be a sequence of str"));
            if (!sequence)
                return nullptr;
            const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
            if (count > static_cast<Py_ssize_t>(kinds::NullSpellings::kMax)) {
                PyErr_Format(PyExc_ValueError, "null_values takes at most %zu spellings",
                             kinds::NullSpellings::kMax);
                return nullptr;
            }
            for (Py_ssize_t i = 0; i < count; ++i) {
                std::string text;
                PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
                if (!PyUnicode_Check(item)) {
                    PyErr_SetString(PyExc_TypeError, "null_values' items must be str");
                    return nullptr;
                }
                if (!text_option(item, "null_values' items", text))
                    return nullptr;
                texts->push_back(std::move(text));
            }
            rules->nulls = kinds::NullSpellings::none();
            for (const std::string& text : *texts)
                rules->nulls.add(text);
        }
        if (decimal != Py_None) {
            if (mark != "." && mark != ",") {
                PyErr_SetString(PyExc_ValueError, "decimal must be '.' or ','");
                return nullptr;
            }
            rules->decimal = mark[0];
        }
        if (thousands != Py_None) {
            bool found = false;
            for (std::size_t g = 0; g < kinds::kGroupings; ++g) {
                if (kinds::grouping_text(static_cast<kinds::Grouping>(g)) == grouping) {
                    rules->force_thousands = true;
                    rules->thousands = static_cast<kinds::Grouping>(g);
                    found = true;
                }
            }
            if (!found) {
                PyErr_SetString(
                    PyExc_ValueError,
                    "thousands must be '', ',', '.', ' ', \"'\", '\\u00a0' or '\\u202f'");
                return nullptr;
            }
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr)
            return nullptr;
        PyColumnTyper* typer = as_typer(self);
        // Vectors do not move their elements' storage: the views stay valid.
        typer->column = new (std::nothrow) kinds::ColumnKinds(*rules);
        typer->decided = new (std::nothrow) kinds::ColumnType();
        typer->null_texts = texts.release();
        typer->rules = rules.release();
        typer->has_decided = false;
        if (typer->column == nullptr || typer->decided == nullptr) {
            Py_DECREF(self);
            throw std::bad_alloc();
        }
        return self;
    });
}

PyObject* typer_add(PyObject* self, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        StringCells cells;
        if (!parse_cells(args, cells, "OOnnp:add"))
            return nullptr;
        kinds::ColumnKinds& column = *as_typer(self)->column;
        {
            GilReleased gil;
            for (std::size_t i = 0; i < cells.size(); ++i)
                column.add(cells[i]);
        }
        Py_RETURN_NONE;
    });
}

bool kind_from_name(PyObject* name, kinds::Kind& kind) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr)
        return false;
    const std::string_view wanted(text, static_cast<std::size_t>(size));
    for (kinds::Kind candidate :
         {kinds::Kind::Text, kinds::Kind::Boolean, kinds::Kind::Integer, kinds::Kind::Decimal,
          kinds::Kind::Date, kinds::Kind::Time, kinds::Kind::Timestamp}) {
        if (kinds::kind_name(candidate) == wanted) {
            kind = candidate;
            return true;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown column kind %R", name);
    return false;
}

PyObject* text_object(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* typer_decide(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        static const char* keywords[] = {"kind", "misfit_share", "day_first", nullptr};
        PyObject* kind_name = Py_None;
        double share = 0.01;
        PyObject* day_first = Py_None;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OdO:decide", const_cast<char**>(keywords),
                                         &kind_name, &share, &day_first))
            return nullptr;
        PyColumnTyper* typer = as_typer(self);
        kinds::ColumnType type;
        if (kind_name == Py_None) {
            type = typer->column->decide(share);
        } else {
            kinds::Kind kind{};
            if (!kind_from_name(kind_name, kind))
                return nullptr;
            type = typer->column->decide_as(kind);
        }
        if (day_first != Py_None &&
            (type.kind == kinds::Kind::Date || type.kind == kinds::Kind::Timestamp)) {
            // The user's order: every year-last shape seen is read in it.
            type.order = PyObject_IsTrue(day_first) ? kinds::kDayFirst : kinds::kMonthFirst;
            type.ambiguous = false;
        }
        *typer->decided = type;
        typer->has_decided = true;
        PyRef result(PyDict_New());
        if (!result)
            return nullptr;
        PyObject* dict = result.get();
        const char* order = type.order == kinds::kDayFirst     ? "day-first"
                            : type.order == kinds::kMonthFirst ? "month-first"
                                                               : nullptr;
        const bool ok =
            set_item(dict, "kind", text_object(kinds::kind_name(type.kind))) &&
            set_item(dict, "decimal", text_object(std::string_view(&type.number.decimal, 1))) &&
            set_item(dict, "thousands", text_object(kinds::grouping_text(type.number.thousands))) &&
            set_item(dict, "unit", text_object(kinds::unit_text(type.unit))) &&
            set_item(dict, "order", order ? text_object(order) : (Py_INCREF(Py_None), Py_None)) &&
            set_item(dict, "zoned", PyBool_FromLong(type.zoned)) &&
            set_item(dict, "ambiguous", PyBool_FromLong(type.ambiguous)) &&
            set_item(dict, "values", PyLong_FromUnsignedLongLong(type.values)) &&
            set_item(dict, "misfits", PyLong_FromUnsignedLongLong(type.misfits)) &&
            set_item(dict, "codes", PyLong_FromUnsignedLongLong(type.codes)) &&
            set_item(dict, "nulls",
                     PyLong_FromUnsignedLongLong(typer->column->cells() - type.values)) &&
            set_item(dict, "verbatim", PyBool_FromLong(type.verbatim)) &&
            set_item(dict, "grouped", PyBool_FromLong(type.grouped)) &&
            set_item(dict, "whole_digits", PyLong_FromLong(type.whole_digits)) &&
            set_item(dict, "scale", PyLong_FromLong(type.scale)) &&
            set_item(dict, "exponent", PyBool_FromLong(type.exponent));
        return ok ? result.release() : nullptr;
    });
}

// A new bytearray of `size` bytes to write into (a bytearray, so that the
// data can be cut to what was written without a copy).
PyRef new_bytes(std::size_t size) {
    return PyRef(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

// The digits of a normalized number ("-1234.50"): before the point, leading
// zeros aside, and after it; each the most seen so far.
void measure(std::string_view number, std::size_t& whole_digits, std::size_t& scale,
             bool& exponent) noexcept {
    std::size_t i = number.empty() || number[0] != '-' ? 0 : 1;
    while (i < number.size() && number[i] == '0')
        ++i;
    std::size_t whole = 0;
    for (; i < number.size() && number[i] >= '0' && number[i] <= '9'; ++i)
        ++whole;
    whole_digits = std::max(whole_digits, whole);
    if (i < number.size() && number[i] == '.') {
        const std::size_t start = ++i;
        while (i < number.size() && number[i] >= '0' && number[i] <= '9')
            ++i;
        scale = std::max(scale, i - start);
    }
    exponent = exponent || i < number.size();
}

// The cells as the decided type's normalized text: (validity, offsets, data,
// misfits, large, whole_digits, scale, exponent); nulls and misfits are null,
// and the misfits' indices are int64 values in native order.
PyObject* typer_convert(PyObject* self, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyColumnTyper* typer = as_typer(self);
        if (!typer->has_decided) {
            PyErr_SetString(PyExc_RuntimeError, "convert() before decide()");
            return nullptr;
        }
        StringCells cells;
        PyObject *offsets_object = nullptr, *data_object = nullptr;
        Py_ssize_t offset = 0, length = 0, max_whole = -1, max_scale = -1, max_digits = -1;
        int large_input = 0;
        if (!PyArg_ParseTuple(args, "OOnnp|nnn:convert", &offsets_object, &data_object, &offset,
                              &length, &large_input, &max_whole, &max_scale, &max_digits) ||
            !cells.open(offsets_object, data_object, offset, length, large_input))
            return nullptr;
        const std::size_t n = cells.size();
        // A normalized cell is at most 16 bytes longer than the cell.
        const std::size_t capacity = cells.bytes() + 16 * n;
        const bool large =
            capacity > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
        const std::size_t width = large ? 8 : 4;
        PyRef validity = new_bytes((n + 7) / 8);
        PyRef offsets = new_bytes((n + 1) * width);
        PyRef data = new_bytes(capacity);
        if (!validity || !offsets || !data)
            return nullptr;
        std::vector<std::int64_t> misfits;
        auto* valid = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(validity.get()));
        char* offset_bytes = PyByteArray_AS_STRING(offsets.get());
        char* out = PyByteArray_AS_STRING(data.get());
        std::memset(valid, 0, (n + 7) / 8);
        std::size_t written = 0;
        // What a decimal type must hold: the most digits before and after
        // the point, and whether any value has an exponent.
        std::size_t whole_digits = 0, scale = 0;
        bool exponent = false;
        {
            GilReleased gil;
            const kinds::ColumnType& type = *typer->decided;
            const kinds::KindRules& rules = *typer->rules;
            auto put_offset = [&](std::size_t i) {
                if (large) {
                    const auto value = static_cast<std::int64_t>(written);
                    std::memcpy(offset_bytes + i * 8, &value, 8);
                } else {
                    const auto value = static_cast<std::int32_t>(written);
                    std::memcpy(offset_bytes + i * 4, &value, 4);
                }
            };
            for (std::size_t i = 0; i < n; ++i) {
                put_offset(i);
                const std::string_view cell = cells[i];
                const kinds::CellKinds cell_kinds = kinds::classify_cell(cell, rules);
                if (cell_kinds.null)
                    continue;
                const std::ptrdiff_t size =
                    kinds::normalize_cell(cell, cell_kinds, type, out + written);
                if (size < 0) {
                    misfits.push_back(static_cast<std::int64_t>(i));
                    continue;
                }
                if (type.kind == kinds::Kind::Decimal)
                    measure(std::string_view(out + written, static_cast<std::size_t>(size)),
                            whole_digits, scale, exponent);
                written += static_cast<std::size_t>(size);
                valid[i / 8] = static_cast<std::uint8_t>(valid[i / 8] | (1u << (i % 8)));
            }
            put_offset(n);
        }
        if (PyByteArray_Resize(data.get(), static_cast<Py_ssize_t>(written)) != 0)
            return nullptr;
        PyRef misfit_bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(misfits.data()),
                                                     static_cast<Py_ssize_t>(misfits.size() * 8)));
        if (!misfit_bytes)
            return nullptr;
        return Py_BuildValue("(OOOOOnnO)", validity.get(), offsets.get(), data.get(),
                             misfit_bytes.get(), large ? Py_True : Py_False,
                             static_cast<Py_ssize_t>(whole_digits), static_cast<Py_ssize_t>(scale),
                             exponent ? Py_True : Py_False);
    });
}

PyObject* typer_get_cells(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_typer(self)->column->cells());
}

PyMethodDef typer_methods[] = {
    {"add", typer_add, METH_VARARGS,
     "add($self, offsets, data, offset, length, large, /)\n--\n\n"
     "Count what the cells of a string array's buffers may be read as."},
    {"decide", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(typer_decide)),
     METH_VARARGS | METH_KEYWORDS,
     "decide($self, kind=None, misfit_share=0.01, day_first=None)\n--\n\n"
     "Decide the column's type from the cells counted (or its best reading as kind) and describe "
     "it."},
    {"convert", typer_convert, METH_VARARGS,
     "convert($self, offsets, data, offset, length, large, max_whole=-1, max_scale=-1, "
     "max_digits=-1, /)\n--\n\n"
     "The cells' normalized text under the decided type: (validity, offsets, data, misfits, "
     "large)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef typer_getset[] = {
    {"cells", typer_get_cells, nullptr, "Cells counted so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot typer_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("The running kinds of one column's cells, and the type decided from them.")},
    {Py_tp_new, reinterpret_cast<void*>(typer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(typer_dealloc)},
    {Py_tp_methods, typer_methods},
    {Py_tp_getset, typer_getset},
    {0, nullptr},
};

PyType_Spec typer_spec = {
    "rowmend._native.ColumnTyper",
    static_cast<int>(sizeof(PyColumnTyper)),
    0,
    Py_TPFLAGS_DEFAULT,
    typer_slots,
};

PyTypeObject* typer_type_object = nullptr;

} // namespace

PyTypeObject* column_typer_type() {
    if (typer_type_object == nullptr) {
        PyObject* created = PyType_FromSpec(&typer_spec);
        if (created == nullptr)
            return nullptr;
        typer_type_object = reinterpret_cast<PyTypeObject*>(created);
    }
    return typer_type_object;
}

} // namespace rowmend::native
