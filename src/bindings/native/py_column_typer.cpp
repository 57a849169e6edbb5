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
#include "heuristics/cell_value.h"
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
            set_item(dict, "nearest", text_object(kinds::kind_name(type.nearest))) &&
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

// What a typed array's values are: the decided kind, and for decimals
// float64 (precision 0, at most `max_digits` digits when given) or
// decimal128(precision, scale).
struct Target {
    kinds::Kind kind = kinds::Kind::Text;
    unsigned precision = 0, scale = 0;
    int max_digits = -1;

    std::size_t value_bytes(std::size_t n) const noexcept {
        switch (kind) {
        case kinds::Kind::Boolean:
            return (n + 7) / 8;
        case kinds::Kind::Date:
            return n * 4;
        case kinds::Kind::Decimal:
            return n * (precision > 0 ? 16 : 8);
        default:
            return n * 8;
        }
    }
};

// Reads one normalized cell into slot `i` of `values`; false when its value
// does not fit the target (the cell is then a misfit).
bool store(const Target& target, std::string_view text, std::size_t i, char* values,
           kinds::Digits& most) noexcept {
    switch (target.kind) {
    case kinds::Kind::Boolean:
        if (text[0] == 't')
            values[i / 8] = static_cast<char>(values[i / 8] | (1 << (i % 8)));
        return true;
    case kinds::Kind::Integer: {
        std::int64_t value = 0;
        if (!kinds::read_int64(text, value))
            return false;
        std::memcpy(values + i * 8, &value, 8);
        return true;
    }
    case kinds::Kind::Decimal: {
        // Measured before the value is taken: a number its type cannot hold
        // still tells what type would (a later read's).
        const kinds::Digits digits = kinds::count_digits(text);
        most.whole = std::max(most.whole, digits.whole);
        most.fraction = std::max(most.fraction, digits.fraction);
        most.exponent = most.exponent || digits.exponent;
        if (target.precision > 0) {
            std::uint64_t words[2];
            if (!kinds::read_decimal128(text, target.precision, target.scale, words))
                return false;
            std::memcpy(values + i * 16, words, 16);
        } else {
            double value = 0;
            if (target.max_digits >= 0 && !digits.exponent &&
                digits.whole + digits.fraction > static_cast<unsigned>(target.max_digits))
                return false; // a float would round it
            if (!kinds::read_float64(text, value))
                return false;
            std::memcpy(values + i * 8, &value, 8);
        }
        return true;
    }
    case kinds::Kind::Date: {
        std::int32_t value = 0;
        if (!kinds::read_date32(text, value))
            return false;
        std::memcpy(values + i * 4, &value, 4);
        return true;
    }
    case kinds::Kind::Time:
    case kinds::Kind::Timestamp: {
        std::int64_t value = 0;
        if (!(target.kind == kinds::Kind::Time ? kinds::read_time_us(text, value)
                                               : kinds::read_timestamp_us(text, value)))
            return false;
        std::memcpy(values + i * 8, &value, 8);
        return true;
    }
    case kinds::Kind::Text:
        break;
    }
    return false;
}

// The value of a cell in the two commonest spellings, read from its
// classification with no normalized text: plain digits in an integer
// column, and a year-first ISO date in a date column. False when the cell
// is not one of them (the caller takes the long way, which reads it alike).
bool store_direct(const Target& target, const kinds::ColumnType& type, std::string_view cell,
                  const kinds::CellKinds& kinds, std::size_t i, char* values,
                  kinds::Digits& most) noexcept {
    if (target.kind == kinds::Kind::Integer && kinds.plain && !kinds.negative &&
        kinds.integer_formats != 0 && kinds.unit == kinds::Unit::None &&
        type.unit == kinds::Unit::None) {
        std::int64_t value = 0; // at most int64's digits: fits_int64 said so
        for (std::size_t at = kinds.body_begin; at < kinds.body_end; ++at) {
            if (cell[at] < '0' || cell[at] > '9')
                return false; // an exponent, or a unit inside: the long way
            value = value * 10 + (cell[at] - '0');
        }
        std::memcpy(values + i * 8, &value, 8);
        return true;
    }
    if (target.kind == kinds::Kind::Decimal && target.precision == 0 && !kinds.negative &&
        !kinds.exponent && kinds.unit == kinds::Unit::None && type.unit == kinds::Unit::None &&
        ((kinds.number_formats >> kinds::format_index(type.number)) & 1u) &&
        kinds.body_end - kinds.body_begin <= 16) {
        // Digits with at most one point ("638.17"): at most 15 digits are an
        // integer below 2^53 and a power of ten a double holds exactly, so
        // one division is the correctly rounded value.
        std::uint64_t mantissa = 0;
        unsigned digits = 0, leading = 0, whole = 0;
        bool point = false, first = true;
        for (std::size_t at = kinds.body_begin; at < kinds.body_end; ++at) {
            const char c = cell[at];
            if (c == '.' && !point) {
                point = true;
                whole = digits;
                continue;
            }
            if (c < '0' || c > '9')
                return false;
            if (first && c == '0' && !point)
                ++leading;
            else
                first = false;
            mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
            ++digits;
        }
        if (!point)
            whole = digits;
        const unsigned fraction = digits - whole;
        whole -= std::min(whole, leading);
        if (digits == 0 || whole + fraction > 15)
            return false;
        constexpr double kTens[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
        const double value = static_cast<double>(mantissa) / kTens[fraction];
        std::memcpy(values + i * 8, &value, 8);
        most.whole = std::max(most.whole, whole);
        most.fraction = std::max(most.fraction, fraction);
        return true;
    }
    constexpr auto kIso = static_cast<std::size_t>(kinds::DateShape::YearFirstDash);
    if (target.kind == kinds::Kind::Date && kinds.date == kinds::DateShape::YearFirstDash &&
        !kinds.timestamp && ((type.shapes >> kIso) & 1u)) {
        const std::int32_t days = kinds::days_since_epoch(kinds.year, kinds.first, kinds.second);
        std::memcpy(values + i * 4, &days, 4);
        return true;
    }
    return false;
}

// The cells as the decided type's Arrow values, classified, normalized and
// read in one pass: (validity, values, misfits, whole_digits, scale,
// exponent). Nulls and misfits are null; the misfits' indices are int64
// values in native order.
PyObject* typer_build(PyObject* self, PyObject* args) {
    return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
        PyColumnTyper* typer = as_typer(self);
        if (!typer->has_decided || typer->decided->kind == kinds::Kind::Text) {
            PyErr_SetString(PyExc_RuntimeError, "build() before decide() chose a typed kind");
            return nullptr;
        }
        StringCells cells;
        PyObject *offsets_object = nullptr, *data_object = nullptr;
        Py_ssize_t offset = 0, length = 0, precision = 0, scale = 0, max_digits = -1;
        int large_input = 0, count = 0;
        if (!PyArg_ParseTuple(args, "OOnnp|nnnp:build", &offsets_object, &data_object, &offset,
                              &length, &large_input, &precision, &scale, &max_digits, &count) ||
            !cells.open(offsets_object, data_object, offset, length, large_input))
            return nullptr;
        if (precision < 0 || precision > 38 || scale < 0 || scale > precision) {
            PyErr_SetString(PyExc_ValueError,
                            "a decimal's precision is 1 to 38, its scale at most that");
            return nullptr;
        }
        Target target{typer->decided->kind, static_cast<unsigned>(precision),
                      static_cast<unsigned>(scale),
                      static_cast<int>(std::min<Py_ssize_t>(max_digits, 64))};
        const std::size_t n = cells.size();
        PyRef validity = new_bytes((n + 7) / 8);
        PyRef values = new_bytes(target.value_bytes(n));
        if (!validity || !values)
            return nullptr;
        auto* valid = reinterpret_cast<std::uint8_t*>(PyByteArray_AS_STRING(validity.get()));
        char* out = PyByteArray_AS_STRING(values.get());
        std::memset(valid, 0, (n + 7) / 8);
        std::memset(out, 0, target.value_bytes(n));
        std::vector<std::int64_t> misfits;
        // One scratch line for the normalized text, grown to the longest
        // cell that needs it: no allocation per cell.
        std::string scratch(256, '\0');
        kinds::Digits most;
        {
            GilReleased gil;
            const kinds::ColumnType& type = *typer->decided;
            const kinds::KindRules& rules = *typer->rules;
            kinds::ColumnKinds& column = *typer->column;
            for (std::size_t i = 0; i < n; ++i) {
                const std::string_view cell = cells[i];
                const kinds::CellKinds cell_kinds = kinds::classify_cell(cell, rules);
                // Counted from the same classification: a cell is read once.
                if (count)
                    column.add(cell_kinds);
                if (cell_kinds.null)
                    continue;
                if (store_direct(target, type, cell, cell_kinds, i, out, most)) {
                    valid[i / 8] = static_cast<std::uint8_t>(valid[i / 8] | (1u << (i % 8)));
                    continue;
                }
                if (scratch.size() < cell.size() + 16)
                    scratch.resize(cell.size() + 16);
                const std::ptrdiff_t size =
                    kinds::normalize_cell(cell, cell_kinds, type, scratch.data());
                if (size < 0 ||
                    !store(target, std::string_view(scratch.data(), static_cast<std::size_t>(size)),
                           i, out, most)) {
                    misfits.push_back(static_cast<std::int64_t>(i));
                    continue;
                }
                valid[i / 8] = static_cast<std::uint8_t>(valid[i / 8] | (1u << (i % 8)));
            }
        }
        PyRef misfit_bytes(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(misfits.data()),
                                                     static_cast<Py_ssize_t>(misfits.size() * 8)));
        if (!misfit_bytes)
            return nullptr;
        return Py_BuildValue("(OOOIIO)", validity.get(), values.get(), misfit_bytes.get(),
                             most.whole, most.fraction, most.exponent ? Py_True : Py_False);
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
    {"build", typer_build, METH_VARARGS,
     "build($self, offsets, data, offset, length, large, precision=0, scale=0, max_digits=-1, "
     "count=False, /)\n--\n\n"
     "The cells as the decided type's Arrow values: (validity, values, misfits, whole_digits, "
     "scale, exponent); with count, their kinds counted as add() counts them."},
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
