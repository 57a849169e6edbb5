#include "bindings/native/salvager_options.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <vector>

#include "bindings/py_ref.h"

namespace rowmend::native {

using bindings::PyRef;

namespace {

constexpr std::size_t kCount = kSalvagerKeywords.size();

// A keyword's place in the table; a name not in it does not compile.
consteval std::size_t at(std::string_view name) {
    for (std::size_t i = 0; i < kCount; ++i)
        if (kSalvagerKeywords[i].name == name)
            return i;
    throw "not a Salvager keyword";
}

constexpr Py_ssize_t parse_count(std::string_view digits) {
    Py_ssize_t value = 0;
    for (const char digit : digits)
        value = value * 10 + (digit - '0');
    return value;
}

// The values given, borrowed from the call's keyword dict; nullptr where a
// keyword was not given.
class Arguments {
  public:
    bool collect(PyObject* args, PyObject* kwargs) {
        values_.fill(nullptr);
        if (args != nullptr && PyTuple_GET_SIZE(args) != 0) {
            PyErr_SetString(PyExc_TypeError, "Salvager() takes no positional arguments");
            return false;
        }
        if (kwargs == nullptr)
            return true;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_ssize_t size = 0;
            const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
            if (name == nullptr) {
                if (!PyErr_Occurred())
                    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return false;
            }
            const std::string_view given(name, static_cast<std::size_t>(size));
            std::size_t i = 0;
            while (i < kCount && kSalvagerKeywords[i].name != given)
                ++i;
            if (i == kCount) {
                PyErr_Format(PyExc_TypeError, "Salvager() got an unexpected keyword argument '%U'",
                             key);
                return false;
            }
            values_[i] = value;
        }
        return true;
    }

    // The value given, or the default's object when it is None, True or
    // False; nullptr for another default not given.
    PyObject* object(std::size_t i) const noexcept {
        if (values_[i] != nullptr)
            return values_[i];
        const std::string_view shown = kSalvagerKeywords[i].shown_default;
        return shown == "None"    ? Py_None
               : shown == "True"  ? Py_True
               : shown == "False" ? Py_False
                                  : nullptr;
    }

    bool flag(std::size_t i, bool& out) const {
        PyObject* value = object(i);
        const int truth = PyObject_IsTrue(value);
        if (truth < 0)
            return false;
        out = truth != 0;
        return true;
    }

    bool count(std::size_t i, Py_ssize_t& out) const {
        if (values_[i] == nullptr) {
            out = parse_count(kSalvagerKeywords[i].shown_default);
            return true;
        }
        PyRef index(PyNumber_Index(values_[i]));
        if (!index)
            return false;
        out = PyLong_AsSsize_t(index.get());
        return !(out == -1 && PyErr_Occurred());
    }

    // Valid while the call's arguments live.
    bool text(std::size_t i, std::string_view& out) const {
        if (values_[i] == nullptr) {
            const std::string_view shown = kSalvagerKeywords[i].shown_default;
            out = shown.substr(1, shown.size() - 2); // without its quotes
            return true;
        }
        if (!PyUnicode_Check(values_[i])) {
            PyErr_Format(PyExc_TypeError, "Salvager() argument '%s' must be str, not %.50s",
                         kSalvagerKeywords[i].name.data(), Py_TYPE(values_[i])->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(values_[i], &size);
        if (text == nullptr)
            return false;
        out = std::string_view(text, static_cast<std::size_t>(size));
        return true;
    }

  private:
    std::array<PyObject*, kCount> values_{};
};

// The encodings decoded here; the package decodes others in Python first.
std::optional<SourceEncoding> encoding_named(std::string_view name) {
    if (name == "utf-8")
        return SourceEncoding::Utf8;
    if (name == "utf-8+cp1252")
        return SourceEncoding::Utf8OrCp1252;
    if (name == "latin-1" || name == "iso8859-1")
        return SourceEncoding::Latin1;
    if (name == "cp1252")
        return SourceEncoding::Cp1252;
    if (name == "utf-16-le")
        return SourceEncoding::Utf16Le;
    if (name == "utf-16-be")
        return SourceEncoding::Utf16Be;
    return std::nullopt;
}

bool byte_option(PyObject* value, const char* name, std::optional<std::uint8_t>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    const long byte = PyLong_AsLong(value);
    if (byte == -1 && PyErr_Occurred())
        return false;
    if (byte <= 0 || byte >= 0x80 || byte == '\n' || byte == '\r') {
        PyErr_Format(PyExc_ValueError, "%s must be an ASCII byte other than NUL, CR and LF", name);
        return false;
    }
    out = static_cast<std::uint8_t>(byte);
    return true;
}

// 0 given as an int: the byte turned off (quotes read as text, no escape).
bool is_zero(PyObject* value) {
    int overflow = 0;
    return value != nullptr && PyLong_CheckExact(value) &&
           PyLong_AsLongAndOverflow(value, &overflow) == 0 && overflow == 0;
}

bool path_option(PyObject* value, std::optional<std::string>& out) {
    if (value == Py_None)
        return true;
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(value, &bytes))
        return false;
    PyRef encoded(bytes);
    out.emplace(PyBytes_AS_STRING(encoded.get()),
                static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

bool dialect_options(const Arguments& a, SalvageOptions& options) {
    bool detect_dialect = false, trim_blank = false;
    if (!a.flag(at("detect_dialect"), detect_dialect) || !a.flag(at("trim_blank"), trim_blank))
        return false;
    if (!byte_option(a.object(at("delimiter")), "delimiter", options.delimiter))
        return false;
    // A quote_char of 0 turns quoting off: quotes are text; the clean file
    // still quotes with the double quote.
    PyObject* quote_char = a.object(at("quote_char"));
    const bool no_quote = is_zero(quote_char);
    std::optional<std::uint8_t> quote;
    if (!no_quote && !byte_option(quote_char, "quote_char", quote))
        return false;
    options.quote_char = quote.value_or('"');
    options.quoting = !no_quote;
    // With detect_dialect, a quote or escape left as None is detected.
    options.detect_dialect = detect_dialect;
    options.detect_quote = detect_dialect && !quote && !no_quote;
    PyObject* escape_char = a.object(at("escape_char"));
    std::optional<std::uint8_t> escape;
    if (!is_zero(escape_char) && !byte_option(escape_char, "escape_char", escape))
        return false;
    options.detect_escape = detect_dialect && escape_char == Py_None;
    options.drop_trailing_column = detect_dialect;
    options.escape_char = escape.value_or(0);
    options.trim_after_delimiter = trim_blank && options.delimiter.has_value();
    return true;
}

bool comment_option(PyObject* comment, SalvageOptions& options) {
    if (comment == Py_None)
        return true;
    Py_ssize_t size = 0;
    const char* prefix =
        PyUnicode_Check(comment) ? PyUnicode_AsUTF8AndSize(comment, &size) : nullptr;
    if (prefix == nullptr || size == 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "comment must be 'auto', a non-empty prefix or None");
        return false;
    }
    if (std::string_view(prefix, static_cast<std::size_t>(size)) == "auto")
        options.detect_comments = true;
    else
        options.comment_prefix.assign(prefix, static_cast<std::size_t>(size));
    return true;
}

bool preamble_option(PyObject* skip_preamble, SalvageOptions& options) {
    if (skip_preamble == nullptr)
        return true;
    if (PyUnicode_Check(skip_preamble) &&
        PyUnicode_CompareWithASCIIString(skip_preamble, "auto") == 0) {
        options.detect_preamble = true;
        return true;
    }
    const Py_ssize_t rows = PyLong_Check(skip_preamble) ? PyLong_AsSsize_t(skip_preamble) : -1;
    if (rows == -1 && PyErr_Occurred())
        return false;
    if (rows < 0) {
        PyErr_SetString(PyExc_ValueError,
                        "skip_preamble must be 'auto' or a line count of at least 0");
        return false;
    }
    options.skip_preamble_rows = static_cast<std::size_t>(rows);
    return true;
}

bool footer_option(PyObject* skip_footer, SalvageOptions& options) {
    if (PyLong_Check(skip_footer) && !PyBool_Check(skip_footer)) {
        // A count: the last that many rows, held back until the end.
        const Py_ssize_t rows = PyLong_AsSsize_t(skip_footer);
        if (rows == -1 && PyErr_Occurred())
            return false;
        if (rows < 0) {
            PyErr_SetString(PyExc_ValueError,
                            "skip_footer must be 'auto', 'section', False or a row count");
            return false;
        }
        options.footer_rows = static_cast<std::size_t>(rows);
        return true;
    }
    if (PyUnicode_Check(skip_footer)) {
        // 'section': only a trailing section after a blank line; 'auto':
        // that and a trailing run of narrow rows.
        const bool section = PyUnicode_CompareWithASCIIString(skip_footer, "section") == 0;
        if (!section && PyUnicode_CompareWithASCIIString(skip_footer, "auto") != 0) {
            PyErr_SetString(PyExc_ValueError, "skip_footer must be 'auto', 'section' or False");
            return false;
        }
        options.detect_footer = !section;
        options.detect_trailing_section = true;
        options.detect_totals = true;
        return true;
    }
    const int footer = PyObject_IsTrue(skip_footer);
    if (footer < 0)
        return false;
    options.detect_footer = footer != 0;
    options.detect_totals = footer != 0;
    return true;
}

bool row_options(const Arguments& a, SalvageOptions& options) {
    bool fill = true, merge = true, repair = true, skip_blank = false;
    if (!a.flag(at("fill_ragged_rows"), fill) || !a.flag(at("merge_overflow"), merge) ||
        !a.flag(at("repair_quotes"), repair) || !a.flag(at("skip_blank_rows"), skip_blank))
        return false;
    options.fill_ragged_rows = fill;
    options.merge_overflow = merge;
    options.repair_quotes = repair;
    options.skip_blank_rows = skip_blank;
    // 'auto': the package's own repairs too; 'backend': the backend's only.
    std::string_view repairs;
    if (!a.text(at("repairs"), repairs))
        return false;
    if (repairs != "auto" && repairs != "backend") {
        PyErr_SetString(PyExc_ValueError, "repairs must be 'auto' or 'backend'");
        return false;
    }
    if (repairs == "auto") {
        options.runaway_quotes = RunawayQuoteRule{};
        options.repair_header = true;
        options.place_repairs = true;
    } else {
        // The backend's reading keeps the empty column a trailing delimiter
        // opens; 'backend' reads every row as it does.
        options.drop_trailing_column = false;
    }
    Py_ssize_t threads = 0;
    if (!a.count(at("threads"), threads))
        return false;
    if (threads < 0 || threads > INT_MAX) {
        PyErr_SetString(PyExc_ValueError, "threads must be at least 0 (0: one per CPU)");
        return false;
    }
    options.threads = static_cast<unsigned>(threads);
    PyObject* expected = a.object(at("expected_columns"));
    if (expected != Py_None) {
        const long long columns = PyLong_AsLongLong(expected);
        if (columns == -1 && PyErr_Occurred())
            return false;
        // A table has a fixed width; a clean file may keep rows as parsed.
        if (columns < 0 || (columns == 0 && a.object(at("output_fd")) == Py_None)) {
            PyErr_SetString(PyExc_ValueError,
                            "expected_columns must be at least 1: a table has a fixed width");
            return false;
        }
        options.expected_columns = static_cast<std::uint64_t>(columns);
    }
    return comment_option(a.object(at("comment")), options) &&
           preamble_option(a.object(at("skip_preamble")), options) &&
           footer_option(a.object(at("skip_footer")), options);
}

bool report_options(const Arguments& a, SalvagerSettings& out) {
    Py_ssize_t batch_rows = 0, batch_bytes = 0, max_records = 0;
    if (!a.count(at("batch_rows"), batch_rows) || !a.count(at("batch_bytes"), batch_bytes) ||
        !a.count(at("max_records"), max_records))
        return false;
    if (batch_rows < 1 || batch_bytes < 1 || max_records < 0) {
        PyErr_SetString(PyExc_ValueError, "batch_rows and batch_bytes must be at least 1 and "
                                          "max_records at least 0");
        return false;
    }
    out.batches.batch_rows = static_cast<std::size_t>(batch_rows);
    out.batches.batch_bytes = static_cast<std::size_t>(batch_bytes);
    ReportOptions& report = out.run.report;
    report.max_records = static_cast<std::size_t>(max_records);
    PyObject* header = a.object(at("header"));
    if (PyUnicode_Check(header) && PyUnicode_CompareWithASCIIString(header, "auto") == 0) {
        out.run.salvage.detect_header = true;
        report.header = false;
        report.detected_header = true;
    } else {
        const int named = PyObject_IsTrue(header);
        if (named < 0)
            return false;
        report.header = named != 0;
    }
    return a.flag(at("line_numbers"), out.batches.line_numbers) &&
           a.flag(at("record_repairs"), report.record_repairs) && a.flag(at("batches"), out.tables);
}

// A column's profile as bytes: its shape, its flags, the code's length and
// the code's classes, so that a range read elsewhere places repairs as the
// input's start settled them.
constexpr std::size_t kProfileBytes = 3 + std::tuple_size_v<decltype(ColumnProfile::code)>;

bool decode_profiles(std::string_view bytes, std::vector<ColumnProfile>& out) {
    if (bytes.size() % kProfileBytes != 0)
        return false;
    for (std::size_t at = 0; at < bytes.size(); at += kProfileBytes) {
        ColumnProfile profile;
        const auto shape = static_cast<unsigned char>(bytes[at]);
        const auto flags = static_cast<unsigned char>(bytes[at + 1]);
        const auto length = static_cast<unsigned char>(bytes[at + 2]);
        if (shape > static_cast<unsigned char>(ColumnShape::Text) || flags > 7 ||
            length > profile.code.size())
            return false;
        profile.shape = static_cast<ColumnShape>(shape);
        profile.has_empty = (flags & 1) != 0;
        profile.has_values = (flags & 2) != 0;
        profile.leading_blank = (flags & 4) != 0;
        profile.code_length = length;
        bytes.substr(at + 3, profile.code.size()).copy(profile.code.data(), profile.code.size());
        out.push_back(profile);
    }
    return true;
}

} // namespace

std::string encode_profiles(const std::vector<ColumnProfile>& profiles) {
    std::string bytes;
    bytes.reserve(profiles.size() * kProfileBytes);
    for (const ColumnProfile& profile : profiles) {
        bytes.push_back(static_cast<char>(profile.shape));
        bytes.push_back(static_cast<char>((profile.has_empty ? 1 : 0) |
                                          (profile.has_values ? 2 : 0) |
                                          (profile.leading_blank ? 4 : 0)));
        bytes.push_back(static_cast<char>(profile.code_length));
        bytes.append(profile.code.data(), profile.code.size());
    }
    return bytes;
}

namespace {

bool range_option(PyObject* range, SalvageOptions& options) {
    if (range == Py_None)
        return true;
    unsigned long long first_line = 0;
    int inside = 0, more = 0, dropped = 0;
    const char *kinds = nullptr, *values = nullptr, *header = nullptr, *profiles = nullptr;
    Py_ssize_t kinds_size = 0, values_size = 0, header_size = 0, profiles_size = 0;
    if (!PyTuple_Check(range) ||
        !PyArg_ParseTuple(range, "Kppp|(y#y#y#y#)", &first_line, &inside, &more, &dropped, &kinds,
                          &kinds_size, &values, &values_size, &header, &header_size, &profiles,
                          &profiles_size)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError,
                        "range must be None or (first_line, inside_table, more_follows, "
                        "trailing_dropped[, (kinds, value_columns, header_text, profiles)])");
        return false;
    }
    if (first_line == 0) {
        PyErr_SetString(PyExc_ValueError, "range's first_line must be at least 1");
        return false;
    }
    options.range = RangeRead{first_line, inside != 0, more != 0, dropped != 0, std::nullopt};
    if (kinds != nullptr) {
        RangeRead::Columns columns;
        for (Py_ssize_t i = 0; i < kinds_size; ++i) {
            const auto kind = static_cast<unsigned char>(kinds[i]);
            if (kind > static_cast<unsigned char>(CellKind::Text)) {
                PyErr_SetString(PyExc_ValueError, "range's column kinds are not the engine's");
                return false;
            }
            columns.kinds.push_back(static_cast<CellKind>(kind));
        }
        for (Py_ssize_t i = 0; i < values_size; ++i)
            columns.values.push_back(values[i] != 0);
        columns.header_text.assign(header, static_cast<std::size_t>(header_size));
        if (!decode_profiles(std::string_view(profiles, static_cast<std::size_t>(profiles_size)),
                             columns.profiles)) {
            PyErr_SetString(PyExc_ValueError, "range's column profiles are not the engine's");
            return false;
        }
        options.range->columns = std::move(columns);
    }
    return true;
}

bool output_options(const Arguments& a, SalvagerSettings& out) {
    std::string_view encoding_name;
    if (!a.text(at("encoding"), encoding_name))
        return false;
    const std::optional<SourceEncoding> encoding = encoding_named(encoding_name);
    if (!encoding) {
        PyErr_Format(PyExc_ValueError, "encoding %s is not decoded natively",
                     std::string(encoding_name).c_str());
        return false;
    }
    out.run.encoding = *encoding;
    if (!path_option(a.object(at("set_aside_dir")), out.run.set_aside_dir))
        return false;
    PyObject* output_fd = a.object(at("output_fd"));
    PyObject* quarantine_dir = a.object(at("quarantine_dir"));
    if (output_fd == Py_None && quarantine_dir == Py_None)
        return true;
    CleanTarget clean;
    if (output_fd != Py_None) {
        clean.fd = PyObject_AsFileDescriptor(output_fd);
        if (clean.fd < 0)
            return false;
        // Rows written to a clean file make no batches.
        out.tables = false;
    }
    clean.format.quote = out.run.salvage.quote_char;
    clean.format.quarantine_text = QuarantineText::InputText;
    clean.format.buffer_bytes = kWriteBuffer;
    if (!byte_option(a.object(at("output_delimiter")), "output_delimiter", clean.format.delimiter))
        return false;
    if (!path_option(quarantine_dir, clean.quarantine_dir))
        return false;
    out.run.clean = std::move(clean);
    return true;
}

} // namespace

bool parse_salvager_arguments(PyObject* args, PyObject* kwargs, SalvagerSettings& out) {
    Arguments a;
    return a.collect(args, kwargs) && dialect_options(a, out.run.salvage) &&
           row_options(a, out.run.salvage) && report_options(a, out) && output_options(a, out) &&
           range_option(a.object(at("range")), out.run.salvage);
}

std::string salvager_signature() {
    std::string signature = "Salvager(*";
    for (const SalvagerKeyword& keyword : kSalvagerKeywords) {
        signature += ", ";
        signature += keyword.name;
        signature += '=';
        signature += keyword.shown_default;
    }
    return signature + ")";
}

PyObject* salvager_keyword_names() {
    PyRef names(PyTuple_New(static_cast<Py_ssize_t>(kCount)));
    if (!names)
        return nullptr;
    for (std::size_t i = 0; i < kCount; ++i) {
        const std::string_view name = kSalvagerKeywords[i].name;
        PyObject* text =
            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr)
            return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), text); // steals `text`
    }
    return names.release();
}

} // namespace rowmend::native
