#pragma once
// Converting bound Python arguments into C++ values. Every conversion that
// fails leaves the exception it produced pending, annotated with the note
// "while processing '<parameter>'", and returns false.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>

#include "salvage/salvage_options.h"

namespace rowmend::bindings {

// A str's UTF-8 bytes, borrowed from the str's own UTF-8 cache: valid as long
// as `argument` lives. Refuses anything but str (subclasses accepted) and
// strs that have no UTF-8 form (lone surrogates).
bool convert_text(PyObject* argument, const char* name, std::string_view& out);

// As convert_text; a missing argument (nullptr) or None gives no value.
bool convert_optional_text(PyObject* argument, const char* name,
                           std::optional<std::string_view>& out);

// Exactly True or False, or a numpy boolean scalar. ints are refused.
// A missing argument keeps `out` (the default) unchanged.
bool convert_flag(PyObject* argument, const char* name, bool& out);

// Missing or None gives no value; otherwise any object with __index__ whose
// value fits an unsigned 64-bit count.
bool convert_optional_count(PyObject* argument, const char* name,
                            std::optional<std::uint64_t>& out);

// The six option parameters, always in this order, after the path
// parameters of each callable that salvages.
inline constexpr const char* kOptionNames[6] = {
    "delimiter",      "quote_char",       "fill_ragged_rows",
    "merge_overflow", "expected_columns", "repair_quotes",
};

// True when `parameters` lists the option names, in order, from `first` on:
// every signature that takes the options spells them as this table does.
template <std::size_t N>
constexpr bool lists_options(const char* const (&parameters)[N], std::size_t first) {
    if (N != first + std::size(kOptionNames))
        return false;
    for (std::size_t i = 0; i < std::size(kOptionNames); ++i) {
        if (std::string_view(parameters[first + i]) != kOptionNames[i])
            return false;
    }
    return true;
}

// Converts the six bound option arguments, in order, into `options`.
bool convert_salvage_options(std::span<PyObject* const, 6> arguments, SalvageOptions& options);

} // namespace rowmend::bindings
