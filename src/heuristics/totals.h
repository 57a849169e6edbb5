#pragma once
// A totals row at the end of a table: a label that says total or sum, over
// numbers that are the sums of their columns. Kept as data, it would double
// every sum taken over the column.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row_store.h"

namespace rowmend {

// Whether a cell's text says "total" or "sum", in English and the common
// languages of exported reports ("Total", "Grand total:", "Summe",
// "Gesamt", "Итого", "合计"...), either alone or followed by a blank and
// more words ("Total 2024"). Case is ignored for ASCII letters.
bool is_total_label(std::string_view text) noexcept;

// Whether a row's label says total: its first cell that is not empty.
bool has_total_label(const RowView& row) noexcept;
// The same for one plain line, split at `delimiter` (no quotes in it).
bool has_total_label(std::string_view line, char delimiter) noexcept;

// The value of a number cell as cell_kind reads one ("1,200.50", "-3",
// "4763,50", "$12", "45%"): the last '.' or ',' is the decimal point
// unless exactly three digits follow it and another separator or none
// precedes it ("1,200" is twelve hundred); nothing for any other text.
std::optional<double> number_value(std::string_view text) noexcept;

// Running sums of the columns that hold numbers, over the rows of the
// table as the pass hands them on, for the first kMaxRows rows: a totals
// row is checked against them, and past that many rows it can no longer
// be, which bounds the cost on long tables. The rows are kept as they come
// (up to kMaxPendingBytes of them) and summed only when a row is checked or
// that much is kept: a long table sums nothing at all, and a short one
// sums each cell once, in order, as if it were summed on arrival.
class ColumnSums {
  public:
    static constexpr std::uint64_t kMaxRows = 10000;
    static constexpr std::size_t kMaxPendingBytes = 1U << 20;

    // `numeric` marks the columns to sum; the first `skip` rows handed on
    // are the header's and are not summed.
    ColumnSums(std::vector<bool> numeric, std::uint64_t skip);

    void add(const RowView& row) {
        if (!past_limit())
            keep_row(row);
    }
    // Rows that each end in LF, split at `delimiter`.
    void add_lines(std::string_view lines, char delimiter) {
        if (!past_limit() && !lines.empty())
            keep_lines(lines, delimiter);
    }

    enum class Verdict : std::uint8_t {
        Sums,    // every number of the row in a summed column is that column's sum
        NotSums, // one is not, or the row has none
        Unknown, // the table ran past kMaxRows
    };
    Verdict check(const RowView& row) const;
    // More rows came than a row can be checked against: every check is Unknown.
    bool ran_past_limit() const noexcept { return past_limit(); }

  private:
    // Rows kept and not yet summed, in the order they came: runs of lines
    // in lines_ or of rows in rows_.
    struct Chunk {
        bool lines;
        char delimiter;
        std::size_t begin; // a byte offset in lines_, or a row of rows_
        std::size_t end;
    };
    struct Totals {
        std::vector<double> sums;
        std::uint64_t rows = 0; // rows summed or passed over as the header's
    };
    bool past_limit() const noexcept { return seen_ > kMaxRows + skip_; }
    void keep_row(const RowView& row);
    void keep_lines(std::string_view lines, char delimiter);
    void count(std::uint64_t rows); // rows arriving; drops what is kept once past the limit
    void fold_into(Totals& totals) const noexcept;
    void add_cell(Totals& totals, std::size_t column, std::string_view text) const noexcept;
    void keep_in_bounds();

    std::vector<bool> numeric_;
    std::uint64_t skip_;
    std::uint64_t seen_ = 0; // rows handed on so far
    Totals totals_;          // the rows summed so far
    std::string lines_;
    RowStore rows_;
    std::vector<Chunk> chunks_;
};

} // namespace rowmend
