#pragma once
// Where the table starts: leading rows that do not fit its shape (titles,
// export metadata, blank and comment lines) stand before it as a preamble.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace rowmend {

// How many rows the search for the table's start reads, and the longest
// preamble it sets aside.
inline constexpr std::size_t kTableBoundsSampleRows = 100;
inline constexpr std::size_t kMaxPreambleRows = 20;

// How many of the leading rows stand before the table, given the field
// count of each of the first rows in order (0 for a blank or comment line).
// The table starts at the first row of the most common width among the
// rows from there on, when every row before it is narrower and more than
// half of the rows from it on have that width, and the row just before it
// is at most half as wide; 0 when no such start exists
// within kMaxPreambleRows rows or the table has one column.
std::size_t preamble_rows(std::span<const std::size_t> widths);

struct TableStart {
    std::size_t rows = 0;   // leading rows that stand before the table
    std::size_t offset = 0; // the byte offset of the table's first row
    // A preamble of this many rows that the widths suggested and that was
    // not taken, the evidence being too thin; 0 when none.
    std::size_t considered = 0;
};

// The table's start in the first bytes of an input, its rows counted as the
// heuristics count them (the double quote, repair on). A row beginning with
// `comment_prefix`, when that is not empty, counts as a comment line. A
// preamble found by the widths that holds no fewer rows than the table
// keeps in the sample is taken only when its lines are of another kind
// than the table's rows: blank or comment lines, one-cell lines that hold
// no value, or lines with text where the table holds numbers or dates
// that cannot be its header; otherwise the table starts at the first
// row and the preamble is `considered`. When `given_rows` is set, that
// many rows are the preamble and only the offset is sought. With
// `comments_may_be_rows`, comment lines of the table's width just above
// its first row are the table's own (a header "#id,name,amount") unless
// that row names the columns. Nothing when `final` is false and the rows
// it reads run past the prefix. Without `given_rows`, the rows read end
// within the first `sample_bytes` bytes, but for the first, which is
// always read (again, when it runs past them, as infer_columns_in_dialect
// reads it, with its quote tested against rows of `runaway_width`).
std::optional<TableStart> find_table_start(std::string_view prefix, std::uint8_t delimiter,
                                           std::string_view comment_prefix, bool final,
                                           std::optional<std::size_t> given_rows = std::nullopt,
                                           std::size_t sample_bytes = SIZE_MAX,
                                           std::size_t runaway_width = 0,
                                           bool comments_may_be_rows = false);

} // namespace rowmend
