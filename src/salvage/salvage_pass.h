#pragma once
// The salvage pass: one push loop over the input, window by window. It
// settles the layout from the first rows, parses every row, keeps it as
// parsed, fills or merges it to the column count, or quarantines it, and
// tells a RowSink each row's fate. File salvage, the streaming reader and
// the in-memory pass are sinks of this one loop. Nothing here fails on
// malformed input and no row is dropped:
//   total_rows == salvaged_rows + quarantined_rows + skipped_rows,
// where skipped rows (blank lines, when the options ask) are not part of the
// table at all and are told to the sink as such.
//
// Memory is bounded by the window, not by the input: the pass keeps the
// bytes not yet consumed plus the row in progress. A row longer than the
// window (a quoted field may span many lines, and the stray-quote test
// needs the rest of a physical line) grows the window for that row only,
// and growth is geometric, so no row is parsed more than a few times.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "heuristics/header.h"
#include "heuristics/later_table.h"
#include "heuristics/repair_placement.h"
#include "heuristics/totals.h"
#include "parser/byte_buffer.h"
#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "salvage/block_pass.h"
#include "salvage/layout_settler.h"
#include "salvage/row_sink.h"
#include "salvage/salvage_options.h"
#include "salvage/table_end_hold.h"

namespace rowmend {

class SalvagePass final : private HeldRowOut {
  public:
    SalvagePass(const SalvageOptions& options, RowSink& sink);
    SalvagePass(const SalvagePass&) = delete;
    SalvagePass& operator=(const SalvagePass&) = delete;
    ~SalvagePass();

    // The push interface. Write up to `n` bytes at window_space(n) and
    // commit() how many were written, or feed() a chunk; finish() at the
    // end of input. Each returns false once the sink has stopped the run.
    char* window_space(std::size_t n);
    bool commit(std::size_t n);
    bool feed(const char* data, std::size_t n);
    bool finish();

    // Runs the whole pass over one buffer in place, without copying it.
    bool run_buffer(std::string_view input);

    // How many bytes to read next: the window, or more while a row longer
    // than the window is pending.
    std::size_t next_read_size() const noexcept;

    bool settled() const noexcept { return parser_.has_value(); }
    bool finished() const noexcept { return finished_; }
    const SalvageCounters& counters() const noexcept { return counters_; }
    // Blocks read on workers and taken (see BlockPass), for tests and benches.
    std::size_t blocks_taken() const noexcept { return blocks_ ? blocks_->blocks_taken() : 0; }
    // A range (SalvageOptions::range) whose rows may differ from those of
    // one pass over the whole input: it ended holding rows, or in a later
    // table or a section, that the input after it decides; or, inside the
    // table, its first rows were still held at its end, where the rows
    // before it may have decided them; or its totals row was judged by its
    // own rows' sums alone.
    bool range_unsure() const noexcept { return range_unsure_; }
    // What the settled layout says of the columns (RangeRead::columns), for
    // the ranges after the first of a larger input.
    RangeRead::Columns settled_columns() const {
        return {tail_.column_kinds(), value_columns_, header_text_, profiles_};
    }
    // Rows the parser has read so far, set aside or held ones among them.
    std::uint64_t parsed_rows() const noexcept { return parsed_rows_; }

    static constexpr std::size_t kWindow = 4U << 20;
    static_assert(kWindow == LayoutSettler::kRunawaySampleBytes);
    static constexpr std::size_t kMaxFooterRows = TableEndHold::kMaxFooterRows;
    static constexpr std::size_t kMaxSectionRows = TableEndHold::kMaxSectionRows;
    static constexpr std::size_t kMaxEmptyRows = TableEndHold::kMaxEmptyRows;

  private:
    bool process(std::string_view window, bool final);
    bool settle(std::string_view window, bool final);
    void configure(ResilientParser& parser) const noexcept {
        configure_parser(parser, options_, counters_, trailing_dropped_);
    }
    RowFate bring_to_width(RowStore& rows);
    // Repairs the last row where its columns' kinds place the join or the
    // gap; false when no placement is clearly best (see repair_placement.h).
    [[gnu::noinline]] bool place(RowStore& rows);
    std::vector<ColumnProfile> profiles_; // with place_repairs: the sampled columns
    RowStore placed_;                     // a placed row being rebuilt
    PlacementScratch placement_scratch_;
    std::string placement_; // the row at hand's placement in words, or empty
    // Placed rows held back at the table's end, by line, until they are told.
    std::vector<std::pair<std::uint64_t, std::string>> held_placements_;
    void hold_placement(std::uint64_t line) {
        if (!placement_.empty())
            held_placements_.emplace_back(line, std::move(placement_));
    }
    bool trailing_dropped_ = false;     // every row ended with a delimiter
    bool trailing_value_noted_ = false; // a row with a value there was noted
    bool skip(SkipKind kind, std::uint64_t line, std::string_view text) override;
    bool is_comment(std::string_view text, bool fits, bool table_started) const noexcept {
        return is_comment_line(options_, text, fits, table_started, hash_rows_are_data_);
    }
    bool table_started() const noexcept {
        return counters_.salvaged_rows + counters_.quarantined_rows != 0 || tail_.data_rows() ||
               (options_.range && options_.range->inside_table);
    }
    bool emit_row(RowFate fate, std::uint64_t line, const RowView& fields, std::string_view text,
                  bool quote_repaired, bool bytes_replaced, bool quote_read_as_text) override;
    // The same for a row that may be its own written form (RowEvent::verbatim).
    bool emit_row(RowFate fate, std::uint64_t line, const RowView& fields, std::string_view text,
                  bool quote_repaired, bool bytes_replaced, bool quote_read_as_text, bool verbatim,
                  std::string_view placement = {});
    bool note(const DetectionNote& note) override { return sink_.note(note); }
    bool emit_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line);
    void compact() noexcept;
    // The rows ahead read on blocks, where the options and the sink allow
    // it; false once a sink has stopped the run.
    bool read_on_blocks(ResilientParser& parser, std::string_view window, bool final);
    std::unique_ptr<BlockPass> blocks_; // once the first row is told, when allowed
    bool blocks_decided_ = false;

    SalvageOptions options_;
    RowSink& sink_;
    SalvageCounters counters_;
    // The sums of the numeric columns, to tell a totals row; none when
    // totals are not detected or no column holds numbers.
    std::optional<ColumnSums> sums_;
    std::optional<ResilientParser> parser_;
    std::optional<LayoutSettler> settler_; // until the layout is settled
    std::string separator_;                // the delimiter as text, for merged fields
    RowStore row_;                         // the row at hand
    std::size_t preamble_left_ = 0;        // leading rows still to set aside as preamble
    TableEndHold tail_;                    // rows that may stand after the table, until judged
    std::size_t narrow_run_ = 0;           // narrow rows in a row: a longer run is no footer
    bool section_open_ = false; // a blank line behind the table, and no row of its width since
    // A second table: after a blank line, a row of the table's width that
    // names columns (text where the table holds values, nothing else).
    bool second_table_ = false;
    std::vector<bool> value_columns_; // columns of mostly numbers or dates below the header
    std::string header_text_;         // the header row's bytes, not a second table's
    // The names line repaired, put in place of the table's first row.
    std::optional<std::vector<std::string>> names_repair_;
    bool names_quote_as_text_ = false; // the names line is read with its quote as text

    // A later table: the rows held since one that may start it, and once
    // it is sure, every row from its first on is set aside as a section.
    std::optional<LaterTable> later_;
    std::uint64_t later_line_ = 0;                  // the line of its first row
    bool later_after_blank_ = false;                // a blank line stood above it
    bool later_set_aside_ = false;                  // sure: every row from later_line_ on goes
    [[gnu::noinline]] bool set_later_table_aside(); // the held rows and all after them
    // Whether the row at hand starts a later table or is held with one
    // (of another width, or below names of the table's after a blank line).
    // These few rows' judgements stay out of the loop that every row runs
    // through, which the compiler otherwise grows past inlining its helpers.
    [[gnu::noinline]] bool later_row(std::uint64_t line, bool fits, std::string_view text);
    [[gnu::noinline]] bool hold_later(HeldRow held); // holds it, and settles what the rows say
    [[gnu::noinline]] bool note_trailing_value(std::uint64_t line);
    // The held rows go on as the rows they are, and no later table is held.
    bool release_held() {
        later_.reset();
        return tail_.release_held();
    }
    // At the end of input: a later table held is judged first, then the rest.
    bool finish_held();
    bool finish_range(); // the last range: whether its end is its own to judge

    std::vector<DetectionNote> notes_; // made while settling, told after begin
    bool hash_rows_are_data_ = false;  // leading '#' rows of the table's width are its rows
    bool filled_before_ = false;       // a data row that holds something was told
    bool tell_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line);
    // A run of plain rows handed on, but for runs of two or more rows of
    // empty cells inside it below a data row (`filled_above`: one came
    // before the run), which are blank rows. `empty_rows_` is an LF and two
    // such rows of the table's width, the pattern searched for in the few
    // runs the parser saw such rows in.
    bool hand_on_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line,
                       bool filled_above);
    [[gnu::noinline]] bool set_empty_runs_aside(std::string_view lines, std::size_t rows,
                                                std::uint64_t first_line, bool filled_above);
    std::string empty_rows_;
    ByteBuffer window_;
    std::size_t begin_ = 0;     // first byte of window_ not yet consumed
    std::size_t retry_at_ = 0;  // parse again once this many bytes are pending
    std::uint64_t dropped_ = 0; // bytes compacted away in front of window_
    bool borrowed_ = false;     // run_buffer: the input is the caller's, not window_
    bool stopped_ = false;
    bool finished_ = false;
    bool range_unsure_ = false;
    std::uint64_t parsed_rows_ = 0;
};

} // namespace rowmend
