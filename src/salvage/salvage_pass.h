#pragma once
// The salvage pass: one parser over the whole input; every row is retained
// as parsed, retained filled or merged to the column count, or quarantined.
// Nothing here fails and no row is dropped:
//   total_rows == salvaged_rows + quarantined_rows.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "salvage/salvage_options.h"

namespace rowmend {

enum class RowFate : std::uint8_t {
    Kept,     // retained unchanged
    Repaired, // retained after filling or merging
    TooFew,   // quarantined: too few fields and filling is off
    TooMany,  // quarantined: too many fields and merging is off
};

inline bool is_retained(RowFate fate) noexcept {
    return fate == RowFate::Kept || fate == RowFate::Repaired;
}

// "Row has too few columns (expected 3)" and its sibling for extra columns.
std::string quarantine_reason(RowFate fate, std::uint64_t columns);

struct SalvageCounters {
    std::uint64_t total_rows = 0;
    std::uint64_t salvaged_rows = 0;
    std::uint64_t repaired_rows = 0;
    std::uint64_t quarantined_rows = 0;
    std::uint64_t inferred_columns = 0;
    std::uint8_t detected_delimiter = ',';
};

// Drives the parser row by row, so that file salvage can write each row as it
// comes while the streaming reader keeps them all. The input must outlive it.
class SalvagePass {
  public:
    // Settles the delimiter (given, or sniffed) and then the column count
    // (given, or inferred with that delimiter). Empty input runs neither
    // heuristic and settles on comma and 0 columns.
    SalvagePass(std::string_view input, const SalvageOptions& options);

    // Parses the next row onto the end of `rows` and brings it to the column
    // count. A quarantined row is left last in `rows` exactly as parsed; the
    // caller moves it away. Returns false at the end of input.
    bool next(RowStore& rows, RowFate& fate, std::size_t& line);

    // As next(), for a caller that has just called take_plain_rows(): the row
    // at hand is known not to be plain, so it goes straight to the parser
    // instead of being scanned for plainness a second time.
    bool next_parsed(RowStore& rows, RowFate& fate, std::size_t& line);

    // Takes a run of rows that are retained exactly as they stand in the
    // input and, written as clean CSV, are those same bytes (see
    // ResilientParser::take_plain_rows), and counts them. May take nothing.
    std::string_view take_plain_rows(std::size_t max_rows = SIZE_MAX);

    const SalvageCounters& counters() const noexcept { return counters_; }

  private:
    SalvageOptions options_;
    SalvageCounters counters_;
    ResilientParser parser_;
    std::string separator_; // the delimiter as text, for merged fields
};

// The rows set aside by one pass, with the number of the physical line each
// begins on and why it was set aside.
class QuarantineList {
  public:
    std::size_t size() const noexcept { return lines_.size(); }
    RowView fields(std::size_t i) const noexcept { return rows_.row(i); }
    std::size_t line(std::size_t i) const noexcept { return lines_[i]; }
    RowFate fate(std::size_t i) const noexcept { return fates_[i]; }
    std::string reason(std::size_t i) const { return quarantine_reason(fates_[i], columns_); }

    void set_columns(std::uint64_t columns) noexcept { columns_ = columns; }
    void take_last_row_of(RowStore& rows, RowFate fate, std::size_t line);
    void release() noexcept;

  private:
    RowStore rows_;
    std::vector<std::size_t> lines_;
    std::vector<RowFate> fates_;
    std::uint64_t columns_ = 0;
};

struct SalvageOutcome {
    RowStore rows;             // every retained row, in input order
    QuarantineList quarantine; // every quarantined row, in input order
    SalvageCounters counters;
};

// Runs the whole pass in memory.
SalvageOutcome salvage_slice(std::string_view input, const SalvageOptions& options);

} // namespace rowmend
