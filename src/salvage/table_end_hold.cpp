#include "salvage/table_end_hold.h"

#include <algorithm>

#include "heuristics/table_end.h"

namespace rowmend {

bool TableEndHold::finish_held() {
    // At the end of input the held rows are a footer, unless they are one
    // narrow row that reads as data cut short: a truncated file's last row
    // is rescued, not set aside.
    if (options_.footer_rows != 0) {
        // A given footer: whatever is still held is the last rows.
        for (std::size_t i = held_front_; i < held_.size(); ++i) {
            const HeldRow& held = held_[i];
            if (!out_.skip(held.skipped.value_or(SkipKind::Footer), held.line, held.text))
                return false;
        }
        held_.clear();
        held_front_ = 0;
        held_rows_.release();
        held_spare_.release();
        return true;
    }
    const HeldRow* only = nullptr;
    const HeldRow* first_empty = nullptr;
    std::size_t rows = 0;
    std::size_t empties = 0;
    for (const HeldRow& held : held_) {
        if (held.empty && empties++ == 0)
            first_empty = &held;
        if (!held.skipped && !held.empty) {
            ++rows;
            only = &held;
        }
    }
    if (rows == 1 && only->width < counters_.inferred_columns && !only->total &&
        looks_cut_off(held_rows_.row(only->row), only->width, only->unterminated, column_kinds_))
        return release_held();
    // Rows after a blank line that are no more than the table going on,
    // ragged (values of the columns' kinds where it has them), stay in it:
    // setting them aside would take a guess for the table.
    const bool section_is_table =
        !options_.detect_footer && rows != 0 &&
        std::all_of(held_.begin(), held_.end(), [&](const HeldRow& held) {
            return held.skipped || held.total || held.empty ||
                   (held.width != counters_.inferred_columns &&
                    looks_cut_off(held_rows_.row(held.row), held.width, held.unterminated,
                                  column_kinds_) &&
                    !std::all_of(column_kinds_.begin(), column_kinds_.end(),
                                 [](CellKind kind) { return kind == CellKind::Empty; }));
        });
    if (section_is_table && !(rows == 1 && only->total)) {
        if (!out_.note({"section-kept",
                        "the rows from line " + std::to_string(held_.front().line) +
                            " on have another width than the table's but hold values of its "
                            "columns: kept as rows of the table"}))
            return false;
        return release_held();
    }
    if (empties != 0 && !out_.note({"empty-rows", std::to_string(empties) +
                                                      " rows of empty cells after the table, "
                                                      "from line " +
                                                      std::to_string(first_empty->line) +
                                                      " on, were set aside as blank rows"}))
        return false;
    for (const HeldRow& held : held_) {
        const bool ok =
            held.total && !held.skipped ? settle_total(held)
            : held.empty                ? out_.skip(SkipKind::Blank, held.line, held.text)
                         : out_.skip(held.skipped.value_or(SkipKind::Footer), held.line, held.text);
        if (!ok)
            return false;
    }
    held_.clear();
    held_rows_.release();
    return true;
}

bool TableEndHold::hold_plain_line(std::string_view line, std::uint64_t at, bool total) {
    // Held rows are bounded: past so many, rows of empty cells are the
    // table's, as they are inside a run of plain rows.
    if (!total && held_.size() >= kMaxEmptyRows && !release_at_bound())
        return false;
    // A plain line has no quote: its fields are its pieces between delimiters.
    const std::size_t row = held_rows_.row_count();
    held_rows_.append_split_row(line, static_cast<char>(counters_.detected_delimiter));
    const std::size_t width = held_rows_.last_row().size();
    held_.push_back(HeldRow{RowFate::Kept, at, std::string(line), std::nullopt, row, false, false,
                            width, false, false, total, !total});
    return true;
}

bool TableEndHold::settle_total(const HeldRow& held) {
    // The last row of the table, labelled total: a footer only when its
    // numbers are the sums of their columns, else a row of the table.
    const ColumnSums::Verdict verdict = sums_->check(held_rows_.row(held.row));
    const std::string line = "line " + std::to_string(held.line);
    if (verdict == ColumnSums::Verdict::Sums) {
        return out_.note({"totals-footer", line + " is a totals row (its label says total and its "
                                                  "numbers are the sums of the columns above): set "
                                                  "aside as a footer"}) &&
               out_.skip(SkipKind::Footer, held.line, held.text);
    }
    const std::string why =
        verdict == ColumnSums::Verdict::Unknown
            ? " reads as a totals row, but the table is too long for its sums to be checked"
            : " reads as a totals row, but its numbers are not the sums of the columns above";
    return out_.note({"totals-kept", line + why + ": kept as a row of the table"}) &&
           out_.emit_row(held.fate, held.line, held_rows_.row(held.row), held.text,
                         held.quote_repaired, held.bytes_replaced, held.quote_read_as_text);
}

bool TableEndHold::hold_last(HeldRow held, const RowView* fields) {
    if (fields != nullptr) {
        held.row = held_rows_.row_count();
        held_rows_.append_row(*fields);
        held_data_rows_ = true;
    }
    held_.push_back(std::move(held));
    if (held_.size() - held_front_ <= options_.footer_rows)
        return true;
    const HeldRow& oldest = held_[held_front_++];
    const bool ok = oldest.skipped
                        ? out_.skip(*oldest.skipped, oldest.line, oldest.text)
                        : out_.emit_row(oldest.fate, oldest.line, held_rows_.row(oldest.row),
                                        oldest.text, oldest.quote_repaired, oldest.bytes_replaced,
                                        oldest.quote_read_as_text);
    if (held_front_ >= options_.footer_rows)
        drop_released_held();
    return ok;
}

void TableEndHold::drop_released_held() {
    // The rows still held move to fresh storage once as many have gone:
    // each row is copied about once, and at most twice footer_rows are kept.
    held_spare_.clear();
    for (std::size_t i = held_front_; i < held_.size(); ++i) {
        HeldRow& held = held_[i];
        if (!held.skipped) {
            const std::size_t row = held_spare_.row_count();
            held_spare_.append_row(held_rows_.row(held.row));
            held.row = row;
        }
    }
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(held_front_));
    held_front_ = 0;
    std::swap(held_rows_, held_spare_);
}

bool TableEndHold::note_empty_run(std::uint64_t line) {
    if (empty_run_noted_)
        return true;
    empty_run_noted_ = true;
    return out_.note({"empty-rows", "rows of empty cells in a run from line " +
                                        std::to_string(line) +
                                        " on separate rows of the table: set aside as blank rows, "
                                        "as every such run of two or more (one alone is kept)"});
}

bool TableEndHold::release_all(bool at_bound) {
    // The held rows were no footer: they go on as the rows they are, but
    // for rows of delimiters only, two or more in a run (blank and comment
    // lines between them aside), which separate the table's sections:
    // blank rows. A run cut at the bound goes on in the next rows held.
    // Rows with blanks in their cells are written by hand, not exported:
    // they stay, as they do in a run of plain rows.
    const char delimiter = static_cast<char>(counters_.detected_delimiter);
    const auto exported = [&](const HeldRow& held) {
        return held.empty && !held.skipped &&
               held.text.find_first_not_of(delimiter) == std::string::npos;
    };
    std::size_t run_end = held_front_; // the end of the run of empty rows at hand
    bool blank_run = false;
    for (std::size_t i = held_front_; i < held_.size(); ++i) {
        const HeldRow& held = held_[i];
        if (exported(held) && i >= run_end) {
            std::size_t empties = 0;
            for (run_end = i;
                 run_end < held_.size() && (exported(held_[run_end]) || held_[run_end].skipped);
                 ++run_end)
                empties += held_[run_end].skipped ? 0 : 1;
            blank_run = empties >= 2 || (empty_run_goes_on_ && i == held_front_) ||
                        (at_bound && run_end == held_.size());
            if (blank_run && !note_empty_run(held.line))
                return false;
        }
        const bool ok =
            held.skipped ? out_.skip(*held.skipped, held.line, held.text)
            : blank_run && i < run_end && exported(held)
                ? out_.skip(SkipKind::Blank, held.line, held.text)
                : out_.emit_row(held.fate, held.line, held_rows_.row(held.row), held.text,
                                held.quote_repaired, held.bytes_replaced, held.quote_read_as_text);
        if (!ok)
            return false;
    }
    empty_run_goes_on_ = at_bound && blank_run && run_end == held_.size();
    held_.clear();
    held_front_ = 0;
    held_rows_.clear();
    return true;
}

bool TableEndHold::set_all_aside() {
    for (const HeldRow& held : held_) {
        const SkipKind kind =
            held.skipped.value_or(held.empty ? SkipKind::Blank : SkipKind::Section);
        if (!out_.skip(kind, held.line, held.text))
            return false;
    }
    held_.clear();
    held_rows_.clear();
    return true;
}

bool TableEndHold::skip_or_hold(SkipKind kind, std::uint64_t line, std::string_view text) {
    if (options_.footer_rows != 0)
        return hold_last(HeldRow{RowFate::Kept, line, std::string(text), kind, 0}, nullptr);
    // Between held rows a blank or comment line waits with them, so the
    // sink hears every row in input order; a long run of them ends the wait.
    if (held_.empty() || held_.size() >= 4 * kMaxFooterRows)
        return release_held() && out_.skip(kind, line, text);
    held_.push_back(HeldRow{RowFate::Kept, line, std::string(text), kind, 0});
    return true;
}

} // namespace rowmend
