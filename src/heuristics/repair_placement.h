#pragma once
// Where to repair a row of the wrong width. A row with a field or two too
// many most often holds a delimiter inside a text value ("Smith, John" in a
// name column, unquoted); one with a field or two too few lost a delimiter
// between two values. Merging the surplus into the last column, or padding
// at the end, shifts every cell after the damage out of its column. The
// columns' kinds, read from the table's first rows, tell where the join or
// the gap belongs: the placement under which every cell fits its column.
// A placement is taken only when it fits clearly better than every other;
// otherwise the caller keeps merging at the end or padding at the end.
//
// Pure functions over views; the caller's scratch buffers hold the cells
// judged and the rebuilt row, on ragged rows only.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row_store.h"

namespace rowmend {

// What a column of the table's first rows holds, as far as placing a
// repair goes.
enum class ColumnShape : std::uint8_t {
    Unknown, // no cell to judge by: anything fits
    Empty,   // mostly empty: an empty cell fits, a value a little less
    Number,
    Date,    // dates, times or timestamps
    Boolean, // true/false, yes/no
    Code,    // values of one fixed shape, digits and letters or marks ("AB-1234")
    Text,    // free text
};

struct ColumnProfile {
    ColumnShape shape = ColumnShape::Unknown;
    bool has_empty = false;     // some cell of the sample is empty
    bool has_values = false;    // Text: some cell is a number, date or boolean
    bool leading_blank = false; // some cell begins with a blank
    // Code: each byte's class as code_class() gives it.
    std::array<char, 24> code{};
    std::uint8_t code_length = 0;
};

// A byte's class in a code's shape: '9' for a digit, 'a' for an ASCII
// letter, the byte itself otherwise.
inline char code_class(char c) noexcept {
    if (c >= '0' && c <= '9')
        return '9';
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))
        return 'a';
    return c;
}

// The profiles of `columns` columns from rows [first, end) of `rows`; only
// rows of exactly that width count.
std::vector<ColumnProfile> profile_columns(const RowStore& rows, std::size_t first, std::size_t end,
                                           std::size_t columns);

// A repair placed inside a row. For a long row: `count` joins, each of
// `span` fields starting at field `at[i]` (two joins of two fields, or one
// of two or three). For a short row: `count` empty fields put at output
// columns `at[0] < at[1]`.
struct Placement {
    bool join = false;
    std::uint8_t count = 0;
    std::uint8_t span = 2;
    std::array<std::uint32_t, 2> at{};

    friend bool operator==(const Placement&, const Placement&) = default;
};

// Rows of tables this wide or wider, or off by more than this many fields, keep the
// backend's repair: the placements tried grow with the square of the width.
inline constexpr std::size_t kMaxPlacedWidth = 256;
inline constexpr std::size_t kMaxPlacedFields = 2;

namespace placement_detail {
// What one cell is, as a column's shape judges it.
enum class CellClass : std::uint8_t { Empty, Number, Date, Boolean, Text };
struct Cell {
    CellClass kind = CellClass::Empty;
    std::string_view text;      // without the blanks around it
    bool leading_blank = false; // its raw text begins with a blank
};
} // namespace placement_detail

// What place_repair reuses from row to row, so that judging a row
// allocates nothing once the buffers have grown.
struct PlacementScratch {
    std::string joined;
    std::vector<std::string_view> fields;
    std::vector<placement_detail::Cell> cells;
    std::array<std::vector<int>, 5> sums;
    std::vector<int> pair_here, pair_later;
};

// The placement of the repair that brings `row` to `profiles.size()`
// fields, when exactly one fits clearly better than every other and it is
// not the backend's own (the surplus merged into the last column, the
// row padded at the end). `separator` is what a join puts between fields.
std::optional<Placement> place_repair(const RowView& row, std::span<const ColumnProfile> profiles,
                                      std::string_view separator, PlacementScratch& scratch);

// Appends `row` repaired as `placement` says to `out`, as a new row.
void apply_placement(const RowView& row, const Placement& placement, std::string_view separator,
                     RowStore& out);

// The placement in the user's words, 1-based: "fields 3 and 4 joined into
// column 3", "an empty field put in column 2".
std::string describe_placement(const Placement& placement);

} // namespace rowmend
