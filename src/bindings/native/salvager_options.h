#pragma once
// The keywords of rowmend._native.Salvager, spelled once. The keyword
// parsing, the signature in the class's docstring and the module's OPTIONS
// (which the package's tests hold against its own option table) all come
// from kSalvagerKeywords. Every value is checked here as well as in the
// package, and a bad one raises: the package may be bypassed.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "bindings/native/arrow_sink.h"
#include "salvage/salvage_run.h"

namespace rowmend::native {

struct SalvagerKeyword {
    std::string_view name;
    std::string_view shown_default; // as Python writes the default
};

inline constexpr std::array kSalvagerKeywords = std::to_array<SalvagerKeyword>({
    {"delimiter", "None"},
    {"quote_char", "None"},
    {"fill_ragged_rows", "True"},
    {"merge_overflow", "True"},
    {"expected_columns", "None"},
    {"repair_quotes", "True"},
    {"batch_rows", "65536"},
    {"header", "True"},
    {"line_numbers", "False"},
    {"max_records", "10000"},
    {"encoding", "'utf-8'"},
    {"output_fd", "None"},
    {"output_delimiter", "None"},
    {"quarantine_dir", "None"},
    {"skip_blank_rows", "False"},
    {"record_repairs", "False"},
    {"comment", "None"},
    {"skip_preamble", "0"},
    {"skip_footer", "False"},
    {"detect_dialect", "False"},
    {"escape_char", "None"},
    {"trim_blank", "False"},
    {"threads", "1"},
    {"repairs", "'backend'"},
    {"set_aside_dir", "None"}, // the package keeps every row set aside
    {"batch_bytes", "67108864"},
    {"batches", "True"},
    // (first_line, inside_table, more_follows, trailing_dropped): one byte
    // range of a larger input, as SalvageOptions::range.
    {"range", "None"},
});

// The package's output files are written a mebibyte at a time: 128 times fewer
// write calls than 8 KiB pieces, and about 40% less system time (200 MB file).
inline constexpr std::size_t kWriteBuffer = 1U << 20;

// What Salvager(...) asked for.
struct SalvagerSettings {
    RunSettings run;
    ArrowBatchOptions batches;
    bool tables = true; // collect the rows into Arrow batches
};

// Parses Salvager's arguments (keywords only); false with an exception set
// when one is unknown, of the wrong type or out of range.
bool parse_salvager_arguments(PyObject* args, PyObject* kwargs, SalvagerSettings& out);

// "Salvager(*, delimiter=None, ...)": the signature line of the docstring.
std::string salvager_signature();

// The columns' profiles as range= takes them back (settled_columns' fourth
// item).
std::string encode_profiles(const std::vector<ColumnProfile>& profiles);

// The keywords' names as a new tuple of str.
PyObject* salvager_keyword_names();

} // namespace rowmend::native
