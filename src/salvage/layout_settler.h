#pragma once
// Settling the layout from the first rows: the delimiter, the quote and
// escape bytes, the column count, a preamble, the header, and what the
// table's first rows tell of its columns (their kinds, which hold values,
// the sums to check a totals row against). Until the heuristics have read
// enough, the pass keeps the input from its start and asks again each time
// it has doubled; the sniffer and the column count keep the rows they have
// read, so each retry reads only the new bytes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "heuristics/dialect.h"
#include "heuristics/header.h"
#include "heuristics/later_table.h"
#include "heuristics/repair_placement.h"
#include "heuristics/totals.h"
#include "parser/resilient_parser.h"
#include "salvage/row_sink.h"
#include "salvage/salvage_options.h"

namespace rowmend {

// Sets `parser` to read the settled layout as the options ask; with the
// trailing column dropped (`trailing_dropped`), rows are one field wider as
// parsed than the table.
void configure_parser(ResilientParser& parser, const SalvageOptions& options,
                      const SalvageCounters& layout, bool trailing_dropped = false) noexcept;

// With the trailing column dropped: drops the last row's last field when
// the row is wider than the table's `columns` and that field is empty.
bool drop_trailing_field(RowStore& rows, std::uint64_t columns);

// Whether a row's bytes make it a comment line: with a prefix given, every
// row beginning with it; when detecting, a row beginning with '#' that
// does not fit the table's width, or that comes before the table has begun
// unless such rows are the table's own (`hash_rows_are_data`).
inline bool is_comment_line(const SalvageOptions& options, std::string_view text, bool fits,
                            bool table_started, bool hash_rows_are_data) noexcept {
    if (!options.comment_prefix.empty())
        return text.starts_with(options.comment_prefix);
    // A '#' row of the table's width inside the table may well be data,
    // and so may those before it unless they stand above its header.
    return options.detect_comments && text.starts_with('#') &&
           (!fits || (!table_started && !hash_rows_are_data));
}

class LayoutSettler {
  public:
    // Writes the layout it settles into `counters`; both must outlive it.
    LayoutSettler(const SalvageOptions& options, SalvageCounters& counters) noexcept;

    // Settles the layout on the input seen so far, `window` from its first
    // byte and `final` when that is all of it. False when the heuristics'
    // rows run past it: ask again once more has come.
    bool settle(std::string_view window, bool final);

    // Once settled: leading rows that stand before the table.
    std::size_t preamble_rows() const noexcept { return preamble_left_; }
    // Readings considered and not taken, for the report, in order.
    const std::vector<DetectionNote>& notes() const noexcept { return notes_; }
    // Leading '#' rows of the table's width are its rows, not comments.
    bool hash_rows_are_data() const noexcept { return hash_rows_are_data_; }
    // What each column holds below the header (sampled only when a header,
    // footer or trailing section is detected; else none).
    const std::vector<CellKind>& column_kinds() const noexcept { return column_kinds_; }
    // With a header and trailing sections detected: the columns of mostly
    // numbers or dates below it, and the header row's bytes.
    const std::vector<bool>& value_columns() const noexcept { return value_columns_; }
    const std::string& header_text() const noexcept { return header_text_; }
    // With totals detected: sums of the numeric columns, none added yet.
    std::optional<ColumnSums> take_sums() noexcept { return std::move(sums_); }
    // Every row of the sample ended with a delimiter opening an empty
    // column, which was dropped (the counters' column count leaves it out).
    bool trailing_dropped() const noexcept { return trailing_dropped_; }
    // The names line repaired to the table's width, if it was: the header
    // row's fields in its place.
    std::optional<std::vector<std::string>> take_names_repair() noexcept {
        return std::move(names_repair_);
    }
    // The repaired names line is read with its quote as text (it opened
    // a field that would have run past the line).
    bool names_quote_as_text() const noexcept { return names_quote_as_text_; }
    // With repairs placed: what each column of the table's first rows
    // holds (none when the rows were not sampled).
    std::vector<ColumnProfile> take_profiles() noexcept { return std::move(profiles_); }

    // How far the heuristics read with runaway quotes read as text: the
    // pass's window.
    static constexpr std::size_t kRunawaySampleBytes = 4U << 20;

  private:
    bool sample_table(std::string_view window, bool final);
    // Repairs the names line, row 0 of `rows`, when a single repair makes
    // it fit the table (see repair_names_line) and it then reads as names.
    void repair_names(RowStore& rows, const std::vector<std::string>& texts);
    // The width of the rows below a first line whose quote opens a field
    // that runs past it, when that line read with the quote as text has it
    // too; else 0. Nothing while the rows run past the window.
    std::optional<std::uint64_t> width_past_open_quote(std::string_view window,
                                                       const Dialect& dialect, bool final);
    // Stacked tables in the first rows (see stacked_tables), or none;
    // nothing when the rows run past the prefix. Sets stacked_offset_.
    std::optional<std::optional<StackedStart>> find_stacked_tables(std::string_view window,
                                                                   bool final);
    static constexpr std::size_t kStackedSampleBytes = 64U << 10;
    void configure(ResilientParser& parser) const noexcept {
        configure_parser(parser, options_, counters_, trailing_dropped_);
    }
    bool is_comment(std::string_view text, bool fits, bool table_started) const noexcept {
        return is_comment_line(options_, text, fits, table_started, hash_rows_are_data_);
    }
    // How far the heuristics read for rows: with runaway quotes read as
    // text, no further than a window, so that a quote that never closes
    // cannot hold the input back while the layout is settled.
    std::size_t sample_bytes() const noexcept {
        return options_.runaway_quotes ? kRunawaySampleBytes : SIZE_MAX;
    }

    const SalvageOptions& options_;
    SalvageCounters& counters_;
    // The heuristics' rows so far, so each retry reads only the new bytes.
    std::optional<DelimiterSniffer> sniffer_;
    std::optional<Dialect> dialect_; // detected on a prefix longer than its sample
    std::optional<ColumnCounter> column_counter_;
    std::size_t counted_from_ = 0; // where column_counter_'s rows begin
    std::size_t preamble_left_ = 0;
    std::vector<DetectionNote> notes_;
    bool hash_rows_are_data_ = false;
    std::vector<CellKind> column_kinds_;
    std::vector<bool> value_columns_;
    std::string header_text_;
    std::optional<ColumnSums> sums_;
    std::vector<ColumnProfile> profiles_;
    std::size_t stacked_offset_ = 0; // the first table's first byte
    bool trailing_dropped_ = false;  // every row ended with a delimiter
    std::optional<std::vector<std::string>> names_repair_;
    bool names_quote_as_text_ = false;
    std::uint64_t names_width_ = 0; // the width of a first line with a stray quote, read as text
};

} // namespace rowmend
