#pragma once
// What tells the rows at a table's end from the table's own rows: blank
// lines and rows of empty cells, a last row cut short by the end of input,
// a second table's names row, a summary line. Each is a function of the
// rows it is given and of what the first rows of the table showed.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "heuristics/header.h"
#include "parser/row_store.h"

namespace rowmend {

// Whether `text` is White_Space only (or empty).
bool is_blank_text(std::string_view text) noexcept;
// One field of White_Space only, as the counting parser reports a blank line.
inline bool is_blank_row(const RowView& fields) {
    return fields.size() == 1 && is_blank_text((*fields.begin()).text);
}

// A row of two or more cells, each empty or blank, as spreadsheets export
// the empty rows below a table.
bool is_empty_cells_row(const RowView& fields);
// The same for one plain line (no quote in it): nothing but `delimiter`s and
// blanks, at least one delimiter.
bool is_empty_cells_line(std::string_view line, char delimiter);

// What a row's first input byte tells of its first cell without reading
// its cells: Digit when it is a digit (a cell that is filled and no label),
// Filled for any other printable ASCII byte but the delimiter, the quote and
// the escape byte; Unknown otherwise (a quoted or empty first cell, a blank,
// a byte past ASCII), when only the cells can tell.
enum class FirstCell : std::uint8_t { Unknown, Filled, Digit };
inline FirstCell first_cell(std::string_view row_bytes, char delimiter, char quote,
                            char escape) noexcept {
    if (row_bytes.empty())
        return FirstCell::Unknown;
    const char c = row_bytes.front();
    if (c >= '0' && c <= '9')
        return FirstCell::Digit;
    const bool printable = c > ' ' && c < 0x7F;
    return printable && c != delimiter && c != quote && c != escape ? FirstCell::Filled
                                                                    : FirstCell::Unknown;
}

// Whether a row narrower than the table (`width` fields as parsed, `fields`
// as brought to width) reads as a data row cut short rather than a footer:
// its values are of its columns' kinds (`column_kinds`, as the first rows
// showed them) where those hold numbers or dates. A row the input ends
// inside (`unterminated`) may have its last cell cut mid-value, and reads
// as cut short when nothing contradicts it. With no column of a known kind
// there is no table for it to trail: true.
bool looks_cut_off(const RowView& fields, std::size_t width, bool unterminated,
                   std::span<const CellKind> column_kinds);

// Whether a row of the table's width after a blank line names columns, as a
// second table's header does: text in every cell, text where the table holds
// values (`value_columns`), and not the table's own header again
// (`header_text`, the header row's bytes; `text` is this row's).
bool names_row(const RowView& row, std::string_view text, std::string_view header_text,
               const std::vector<bool>& value_columns);

// Whether a narrow row is words where the table holds values ("End of
// report", "(5 rows affected)"): a footer line rather than a row cut short.
// No number or date in it, and text in a value column.
bool summary_row(const RowView& row, const std::vector<bool>& value_columns);

} // namespace rowmend
