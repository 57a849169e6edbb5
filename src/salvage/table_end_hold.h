#pragma once
// Holding the table's end. Rows that may stand after the table (a footer, a
// trailing section, a totals row, rows of empty cells) wait here, with the
// blank and comment lines among them, until a row of the table lets them go
// as the rows they are or the end of input judges them. With a given footer
// the last rows wait instead, the oldest let go as each new one comes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "heuristics/header.h"
#include "heuristics/totals.h"
#include "parser/row_store.h"
#include "salvage/row_sink.h"
#include "salvage/salvage_options.h"

namespace rowmend {

// Where held rows go once judged: the pass's own row handling.
class HeldRowOut {
  public:
    virtual bool skip(SkipKind kind, std::uint64_t line, std::string_view text) = 0;
    virtual bool emit_row(RowFate fate, std::uint64_t line, const RowView& fields,
                          std::string_view text, bool quote_repaired, bool bytes_replaced,
                          bool quote_read_as_text) = 0;
    virtual bool note(const DetectionNote& note) = 0;

  protected:
    ~HeldRowOut() = default;
};

// A row held back: its fields as brought to width (or none for a blank or
// comment line), and its fate, line and input bytes.
struct HeldRow {
    RowFate fate;
    std::uint64_t line;
    std::string text;
    std::optional<SkipKind> skipped; // a blank or comment line, no row
    std::size_t row = 0;             // its fields in the hold's rows
    bool quote_repaired = false;
    bool bytes_replaced = false;
    std::size_t width = 0;     // the fields it had as parsed
    bool unterminated = false; // the input ended inside it
    bool quote_read_as_text = false;
    bool total = false; // its label says total: a totals row if it is the last
    bool empty = false; // empty cells only: a blank row if nothing of the table follows
};

class TableEndHold {
  public:
    static constexpr std::size_t kMaxFooterRows = 8;
    static constexpr std::size_t kMaxSectionRows = 64;
    static constexpr std::size_t kMaxEmptyRows = 4096; // rows of empty cells held at most

    // `counters` carry the settled layout; `sums` are the pass's running
    // sums. All must outlive the hold.
    TableEndHold(const SalvageOptions& options, const SalvageCounters& counters,
                 const std::optional<ColumnSums>& sums, HeldRowOut& out) noexcept
        : options_(options), counters_(counters), sums_(sums), out_(out) {}

    // What each column holds in the first rows of the table, to tell a
    // footer from a data row cut short by the end of the input.
    void set_column_kinds(std::vector<CellKind> kinds) { column_kinds_ = std::move(kinds); }
    const std::vector<CellKind>& column_kinds() const noexcept { return column_kinds_; }

    bool empty() const noexcept { return held_.empty(); }
    std::size_t size() const noexcept { return held_.size(); }
    // The line of the first row held; only when some row is.
    std::uint64_t first_line() const noexcept { return held_.front().line; }
    // A given footer: a data row has been held (the table has begun, though
    // none is out yet).
    bool data_rows() const noexcept { return held_data_rows_; }
    // A row labelled total is held.
    bool holds_total() const noexcept {
        return std::any_of(held_.begin() + static_cast<std::ptrdiff_t>(held_front_), held_.end(),
                           [](const HeldRow& held) { return held.total && !held.skipped; });
    }

    // Holds a row with its fields.
    void hold(HeldRow held, const RowView& fields) {
        held.row = held_rows_.row_count();
        held_rows_.append_row(fields);
        held_.push_back(std::move(held));
    }
    // A plain line (no quote, the table's width): a totals row or a row of
    // empty cells that waits for what follows.
    bool hold_plain_line(std::string_view line, std::uint64_t at, bool total);
    // A blank or comment line: waits among held rows, else goes at once.
    bool skip_or_hold(SkipKind kind, std::uint64_t line, std::string_view text);
    // A given footer: holds this row (with its fields unless it is skipped)
    // and lets the oldest go once more than footer_rows are held.
    bool hold_last(HeldRow held, const RowView* fields);
    // The held rows were no footer: they go on as the rows they are.
    bool release_held() {
        if (!held_.empty())
            return release_all(false);
        empty_run_goes_on_ = false; // a row of the table ends the run
        return true;
    }
    // Held rows of empty cells have reached their bound, and another comes:
    // the held rows go on as they are, the run at their end as blank rows
    // and the rows of its own that follow too.
    bool release_at_bound() { return held_.empty() || release_all(true); }
    // Notes, the first time only, that a run of rows of empty cells
    // from `line` on separates rows of the table and is set aside.
    bool note_empty_run(std::uint64_t line);
    // At the end of input: judges what is held.
    bool finish_held();
    // The held rows are another table's: all set aside, blank and comment
    // lines and rows of empty cells as what they are, the others as section.
    bool set_all_aside();

  private:
    bool release_all(bool at_bound);
    void drop_released_held();
    bool settle_total(const HeldRow& held);

    const SalvageOptions& options_;
    const SalvageCounters& counters_;
    const std::optional<ColumnSums>& sums_;
    HeldRowOut& out_;
    std::vector<CellKind> column_kinds_;
    RowStore held_rows_;
    RowStore held_spare_; // held_rows_'s next storage, its room reused
    std::vector<HeldRow> held_;
    // A given footer: held_ from held_front_ on is still held.
    std::size_t held_front_ = 0;
    bool held_data_rows_ = false;
    bool empty_run_noted_ = false;
    bool empty_run_goes_on_ = false; // released at the bound in a run of empty rows
};

} // namespace rowmend
