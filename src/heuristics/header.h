#pragma once
// Header detection: whether the first row of a table names its columns,
// judged by how its cells differ in kind from the rows below.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "parser/row_store.h"

namespace rowmend {

// What a cell holds, as far as telling names from values goes.
enum class CellKind : std::uint8_t {
    Empty,  // nothing but blanks
    Number, // an integer or decimal, signed, with a decimal point or comma,
            // thousands separators, an exponent, a percent or currency sign
    Date,   // digits in date or time form: 2024-01-31, 31/01/2024, 12:30:00
    Text,   // anything else
};

CellKind cell_kind(std::string_view text) noexcept;

// `text` without the spaces and tabs around it.
std::string_view trim_blanks(std::string_view text) noexcept;

// How many rows header detection reads: the first and the ones below it.
inline constexpr std::size_t kHeaderSampleRows = 20;

// True when row 0 of `rows` reads as column names: no empty, repeated,
// numeric or date cell; and either a column below it holds mostly numbers
// or dates (names over values), or, in an all-text table, none of its cells
// recurs in its column below. A lone row of distinct names counts as a
// header, as a file of only names has always been read. False for no rows.
bool first_row_is_header(const RowStore& rows);

// How many leading rows of `rows` name the columns together: 1 when
// first_row_is_header says so; up to kMaxHeaderRows when the first rows are
// group labels (text only, some cell empty or repeated, so that they name
// nothing alone) over a row that reads as names over values: no value of
// its own, a label under a gap of the row above, and a label over a column
// that holds mostly numbers or dates below. Their names are joined per
// column. Failing that, 1 when the first row is labels with gaps or
// repeats ("id,name,amount," or "x,x,y") standing over such a column, at
// least half its cells named; else 0.
inline constexpr std::size_t kMaxHeaderRows = 3;
std::size_t header_rows(const RowStore& rows);

// The names a header of several rows gives, one per cell of its first row:
// each column's labels top to bottom, joined by a blank ("Sales" over "Q1":
// "Sales Q1"). A label of a row above the last spans the empty cells to its
// right, as spreadsheets export a merged cell, but no further than:
//  - the next label on its row, or one that starts a group on a row above;
//  - on the row above the names, the last label, as wide as its siblings
//    (the labels under the same group above) when they all span the same
//    two columns or more ("Sales,,Returns,," over five names: Returns
//    spans two, the fifth column is under no label);
//  - the labels under it on the row below, when that row has labels.
// One row is its own names.
std::vector<std::string> join_header_rows(const std::vector<std::vector<std::string>>& rows);

// For each of the first `width` columns, over rows `first` on: whether its
// filled cells are mostly numbers or dates (values, as opposed to names).
std::vector<bool> value_columns(const RowStore& rows, std::size_t first, std::size_t width);

} // namespace rowmend
