#include "salvage/salvage_pass.h"

#include <cassert>

#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "salvage/byte_text.h"

namespace rowmend {

std::string quarantine_reason(RowFate fate, std::uint64_t columns) {
    std::string text = fate == RowFate::TooFew ? "Row has too few columns (expected "
                                               : "Row has extra columns (expected ";
    text += std::to_string(columns);
    text += ')';
    return text;
}

namespace {

SalvageCounters settle_layout(std::string_view input, const SalvageOptions& options) {
    SalvageCounters counters;
    if (input.empty())
        return counters; // comma and 0 columns, whatever the options say
    counters.detected_delimiter = options.delimiter ? *options.delimiter : sniff_delimiter(input);
    counters.inferred_columns = options.expected_columns
                                    ? *options.expected_columns
                                    : infer_column_count(input, counters.detected_delimiter);
    return counters;
}

} // namespace

SalvagePass::SalvagePass(std::string_view input, const SalvageOptions& options)
    : options_(options), counters_(settle_layout(input, options)),
      parser_(input, counters_.detected_delimiter, options.quote_char, options.repair_quotes),
      separator_(ByteText(counters_.detected_delimiter).view()) {}

bool SalvagePass::next(RowStore& rows, RowFate& fate, std::size_t& line) {
    // A row's line is the physical line it begins on: the counter before the call.
    line = parser_.line();
    const std::uint64_t columns = counters_.inferred_columns;
    // A row without quotes or CR that already has the run's width is kept as
    // it stands: split it at the delimiters rather than run the state machine.
    std::size_t plain = 0;
    const std::string_view row =
        parser_.take_plain_rows(static_cast<std::size_t>(columns), 1, plain);
    if (plain == 1) {
        rows.append_split_row(row.substr(0, row.size() - 1),
                              static_cast<char>(counters_.detected_delimiter));
        fate = RowFate::Kept;
        ++counters_.total_rows;
        ++counters_.salvaged_rows;
        return true;
    }
    return next_parsed(rows, fate, line);
}

bool SalvagePass::next_parsed(RowStore& rows, RowFate& fate, std::size_t& line) {
    line = parser_.line();
    const std::uint64_t columns = counters_.inferred_columns;
    if (!parser_.next_row(rows))
        return false;
    ++counters_.total_rows;

    const std::size_t width = rows.last_row().size();
    if (columns == 0 || width == columns) {
        fate = RowFate::Kept;
    } else if (width < columns) {
        fate = options_.fill_ragged_rows ? RowFate::Repaired : RowFate::TooFew;
        if (options_.fill_ragged_rows)
            rows.pad_last_row(static_cast<std::size_t>(columns));
    } else {
        fate = options_.merge_overflow ? RowFate::Repaired : RowFate::TooMany;
        if (options_.merge_overflow) {
            rows.merge_last_row_tail(static_cast<std::size_t>(columns - 1), separator_);
        }
    }

    if (is_retained(fate)) {
        ++counters_.salvaged_rows;
        if (fate == RowFate::Repaired)
            ++counters_.repaired_rows;
    } else {
        ++counters_.quarantined_rows;
    }
    assert(counters_.total_rows == counters_.salvaged_rows + counters_.quarantined_rows);
    return true;
}

std::string_view SalvagePass::take_plain_rows(std::size_t max_rows) {
    std::size_t rows = 0;
    const std::string_view run = parser_.take_plain_rows(
        static_cast<std::size_t>(counters_.inferred_columns), max_rows, rows);
    counters_.total_rows += rows;
    counters_.salvaged_rows += rows;
    return run;
}

void QuarantineList::take_last_row_of(RowStore& rows, RowFate fate, std::size_t line) {
    lines_.push_back(line);
    fates_.push_back(fate);
    rows_.take_last_row_of(rows);
}

void QuarantineList::release() noexcept {
    rows_.release();
    std::vector<std::size_t>().swap(lines_);
    std::vector<RowFate>().swap(fates_);
}

SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options) {
    SalvageOutcome outcome;
    SalvagePass pass(input, options);
    outcome.quarantine.set_columns(pass.counters().inferred_columns);
    RowFate fate;
    std::size_t line;
    while (pass.next(outcome.rows, fate, line)) {
        if (!is_retained(fate))
            outcome.quarantine.take_last_row_of(outcome.rows, fate, line);
    }
    outcome.counters = pass.counters();
    assert(outcome.counters.salvaged_rows == outcome.rows.row_count());
    assert(outcome.counters.quarantined_rows == outcome.quarantine.size());
    return outcome;
}

} // namespace rowmend
