#pragma once
// A later table below the first: stacked tables of another width, or a
// second table under its own names, with no blank line between. Its rows
// would otherwise be folded into the first table's last column or padded
// to its width. The evidence is gathered row by row while the rows are
// held back, and grows with what setting them aside would cost.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "heuristics/header.h"
#include "parser/row_store.h"

namespace rowmend {

// Whether a row reads as the names of another table below one whose
// columns hold `kinds`: two or more cells, every one text, none repeated,
// and (unless not `over_values_needed`) text over a column of numbers or
// dates, so not a row of the table's words.
bool names_another_table(const RowView& row, std::span<const CellKind> kinds,
                         bool over_values_needed = true);

// Whether a row's cells disagree with the table's columns: text where a
// column holds numbers or dates, or a number where it holds dates and the
// other way round.
bool conflicts_with_columns(const RowView& row, std::span<const CellKind> kinds);

// Stacked tables: where the first rows read are names over at least one row
// of their width, and then, past any one-cell lines (blank lines, a title),
// names of another width (over values of the first table's columns when
// nothing stands between) over at least one row of theirs, the first table's
// width and the rows that stand before it (one-cell lines too); the table
// is the first, however many rows the later one has. `rows` are the first
// rows of the input as parsed, in order.
struct StackedStart {
    std::size_t width = 0;
    std::size_t leading_rows = 0;
};
std::optional<StackedStart> stacked_tables(const RowStore& rows);

// The rows held since the first one of another width than the table's.
class LaterTable {
  public:
    // How many rows the rule needs below a table of names, and with none.
    static constexpr std::size_t kNamedRows = 2;
    static constexpr std::size_t kUnnamedRows = 8;

    // `first` is the row that starts it: of another width than the
    // table's, or, after a blank line, names of the table's width. After a
    // blank line, names need not stand over values to be names.
    LaterTable(const RowView& first, std::span<const CellKind> kinds, bool after_blank);

    // A row below it (of the table's width only when the first row was).
    void add(const RowView& row, std::span<const CellKind> kinds);

    std::size_t width() const noexcept { return width_; }
    bool named() const noexcept { return named_; }
    // Sure enough to set the rows aside now and everything after them:
    // names over kNamedRows rows of their width, or kUnnamedRows rows of one
    // width most of which disagree with the table's columns.
    bool confirmed() const noexcept;
    // Sure enough at the end of the input: names over one row of their
    // width, or three rows of one width most of which disagree.
    bool confirmed_at_end() const noexcept;

  private:
    bool evidence(std::size_t named_rows, std::size_t unnamed_rows) const noexcept;

    std::size_t width_;
    bool named_;
    std::size_t rows_ = 0;      // rows of its width below the names, or from the first on
    std::size_t conflicts_ = 0; // of those, rows that disagree with the table's columns
    std::size_t others_ = 0;    // rows of a third width
};

} // namespace rowmend
