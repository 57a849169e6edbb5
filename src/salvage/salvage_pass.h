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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "heuristics/column_count.h"
#include "heuristics/delimiter_sniffer.h"
#include "heuristics/header.h"
#include "heuristics/later_table.h"
#include "heuristics/totals.h"
#include "parser/byte_buffer.h"
#include "parser/resilient_parser.h"
#include "parser/row_store.h"
#include "salvage/salvage_options.h"

namespace rowmend {

enum class RowFate : std::uint8_t {
    Kept,    // retained as parsed
    Filled,  // retained after padding with empty fields
    Merged,  // retained after merging the surplus into the last column
    TooFew,  // quarantined: too few fields and filling is off
    TooMany, // quarantined: too many fields and merging is off
};

inline bool is_retained(RowFate fate) noexcept {
    return fate <= RowFate::Merged;
}
inline bool is_repaired(RowFate fate) noexcept {
    return fate == RowFate::Filled || fate == RowFate::Merged;
}

// Why a row is not part of the table. Only the options turn skipping on.
enum class SkipKind : std::uint8_t {
    Blank,    // one field of White_Space only
    Comment,  // a comment line
    Preamble, // a leading row that stands before the table
    Footer,   // a trailing row that stands after the table
};
inline constexpr std::size_t kSkipKinds = 4;

// The kind's name in reports: "blank", "comment", "preamble", "footer".
std::string_view skip_kind_name(SkipKind kind) noexcept;

// "Row has too few columns (expected 3)" and its sibling for extra columns.
std::string quarantine_reason(RowFate fate, std::uint64_t columns);
// The package's words for the same, with the fields found: "too few fields:
// 2 found, 3 expected", as its reports name the action.
std::string field_count_reason(RowFate fate, std::uint64_t columns, std::size_t found);

struct SalvageCounters {
    std::uint64_t total_rows = 0;
    std::uint64_t salvaged_rows = 0;
    std::uint64_t repaired_rows = 0;
    std::uint64_t quarantined_rows = 0;
    std::uint64_t inferred_columns = 0;
    std::uint8_t detected_delimiter = ',';
    std::uint8_t detected_quote = '"';
    std::uint8_t detected_escape = 0;  // 0: none
    bool trim_after_delimiter = false; // the separator is the delimiter and a space
    std::uint64_t skipped_rows = 0;
    std::array<std::uint64_t, kSkipKinds> skipped_by_kind{}; // indexed by SkipKind
    bool header_row = false;         // detect_header found the first row to name the columns
    std::uint8_t header_rows = 0;    // with header_row: how many leading rows name them together
    std::uint64_t preamble_rows = 0; // leading rows set aside as the preamble
};

// One row that did not go through the plain fast path.
struct RowEvent {
    RowFate fate;
    std::uint64_t line;          // the physical line the row begins on
    RowView fields;              // filled or merged when retained, as parsed when quarantined
    std::string_view text;       // the row's input bytes, without its line break
    bool quote_repaired = false; // a stray quote in it was kept as text
    bool bytes_replaced = false; // bytes of it that were not UTF-8 became U+FFFD
    // A quote that opened a runaway field in it was read as text; such a
    // row counts as repaired.
    bool quote_read_as_text = false;
};

// One row set aside as not part of the table.
struct SkippedRow {
    SkipKind kind;
    std::uint64_t line;    // the physical line the row begins on
    std::string_view text; // the row's input bytes, without its line break
};

// A reading that detection considered and did not take, or a decision that
// set rows aside, for the report: a short code and the user's words.
struct DetectionNote {
    std::string_view code;
    std::string message;
};

// Where the pass reports. Views are valid during the call only. Every call
// returns false to stop the run; the sink keeps its own reason.
class RowSink {
  public:
    virtual ~RowSink() = default;
    // The layout is settled; comes once, before any row.
    virtual bool begin(const SalvageCounters& /*layout*/) { return true; }
    // Rows kept exactly as they stand in the input: no quote byte, no CR,
    // valid UTF-8, the run's width. `lines` holds them, each ending in LF,
    // the first beginning on physical line `first_line`, each on the next.
    // Written as clean CSV they are these very bytes.
    virtual bool plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) = 0;
    virtual bool row(const RowEvent& event) = 0;
    // A row that is not part of the table; sinks that write only the table
    // need not hear of it.
    virtual bool skipped(const SkippedRow& /*row*/) { return true; }
    // A detection note; comes after begin, in the order the pass made them.
    virtual bool note(const DetectionNote& /*note*/) { return true; }
    // After each window: input bytes consumed and rows seen so far.
    virtual bool progress(std::uint64_t /*bytes*/, std::uint64_t /*rows*/) { return true; }
};

class SalvagePass {
  public:
    SalvagePass(const SalvageOptions& options, RowSink& sink);
    SalvagePass(const SalvagePass&) = delete;
    SalvagePass& operator=(const SalvagePass&) = delete;

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

    static constexpr std::size_t kWindow = 4U << 20;
    static constexpr std::size_t kMaxFooterRows = 8;
    static constexpr std::size_t kMaxSectionRows = 64;
    static constexpr std::size_t kMaxEmptyRows = 4096; // rows of empty cells held at most

  private:
    bool process(std::string_view window, bool final);
    bool settle(std::string_view window, bool final);
    bool sample_table(std::string_view window, bool final);
    // Stacked tables in the first rows (see stacked_tables), or none;
    // nothing when the rows run past the prefix. Sets stacked_offset_.
    std::optional<std::optional<StackedStart>> find_stacked_tables(std::string_view window,
                                                                   bool final);
    static constexpr std::size_t kStackedSampleBytes = 64U << 10;
    std::size_t stacked_offset_ = 0; // the first table's first byte
    bool looks_cut_off(const RowView& fields, std::size_t width, bool unterminated) const;
    bool finish_held();
    void configure(ResilientParser& parser) const noexcept {
        parser.set_escape(counters_.detected_escape);
        parser.set_trim_after_delimiter(counters_.trim_after_delimiter);
        parser.set_quoting(options_.quoting);
        // Plain rows are written out as they stand, which is right only
        // when the output quotes with the quote the input was read with.
        if (counters_.detected_quote != options_.quote_char)
            parser.disable_plain_rows();
        if (options_.runaway_quotes)
            parser.set_runaway_quotes(static_cast<std::size_t>(counters_.inferred_columns) +
                                          (trailing_dropped_ ? 1 : 0),
                                      *options_.runaway_quotes);
    }
    // How far the heuristics read for rows: with runaway quotes read as
    // text, no further than a window, so that a quote that never closes
    // cannot hold the input back while the layout is settled.
    std::size_t sample_bytes() const noexcept {
        return options_.runaway_quotes ? kWindow : SIZE_MAX;
    }
    RowFate bring_to_width(RowStore& rows);
    // With the trailing column dropped: drops the last row's last field when
    // the row is wider than the table and that field is empty.
    [[gnu::noinline]] bool drop_trailing_field(RowStore& rows) const;
    bool trailing_dropped_ = false;     // every row ended with a delimiter
    bool trailing_value_noted_ = false; // a row with a value there was noted
    bool skip(SkipKind kind, std::uint64_t line, std::string_view text);
    bool is_comment(std::string_view text, bool fits, bool table_started) const noexcept;
    bool table_started() const noexcept {
        return counters_.salvaged_rows + counters_.quarantined_rows != 0 || held_data_rows_;
    }
    bool emit_row(RowFate fate, std::uint64_t line, const RowView& fields, std::string_view text,
                  bool quote_repaired = false, bool bytes_replaced = false,
                  bool quote_read_as_text = false);
    bool release_held();
    bool skip_or_hold(SkipKind kind, std::uint64_t line, std::string_view text);
    bool emit_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line);
    void compact() noexcept;

    SalvageOptions options_;
    RowSink& sink_;
    SalvageCounters counters_;
    std::optional<ResilientParser> parser_;
    // Until the layout is settled, the heuristics read the input seen so far
    // and keep what they have read, so each retry reads only the new bytes.
    std::optional<DelimiterSniffer> sniffer_;
    std::optional<ColumnCounter> column_counter_;
    std::size_t counted_from_ = 0;  // where column_counter_'s rows begin
    std::string separator_;         // the delimiter as text, for merged fields
    RowStore row_;                  // the row at hand
    std::size_t preamble_left_ = 0; // leading rows still to set aside as preamble
    // Narrow rows held back as a possible footer: their fields as brought to
    // width, and their fate, line and input bytes.
    // Blank and comment lines among them are held too, to keep the order.
    struct HeldRow {
        RowFate fate;
        std::uint64_t line;
        std::string text;
        std::optional<SkipKind> skipped; // a blank or comment line, no row
        std::size_t row = 0;             // its fields in held_rows_
        bool quote_repaired = false;
        bool bytes_replaced = false;
        std::size_t width = 0;     // the fields it had as parsed
        bool unterminated = false; // the input ended inside it
        bool quote_read_as_text = false;
        bool total = false; // its label says total: a totals row if it is the last
        bool empty = false; // empty cells only: a blank row if nothing of the table follows
    };
    RowStore held_rows_;
    RowStore held_spare_; // held_rows_'s next storage, its room reused
    std::vector<HeldRow> held_;
    std::size_t narrow_run_ = 0; // narrow rows in a row: a longer run is no footer
    // A given footer: held_ from held_front_ on is still held, and a data
    // row has been held (the table has begun, though none is out yet).
    std::size_t held_front_ = 0;
    bool held_data_rows_ = false;
    // A given footer: holds this row (with its fields unless it is skipped)
    // and lets the oldest go once more than footer_rows are held.
    bool hold_last(HeldRow held, const RowView* fields);
    void drop_released_held();
    // What each column holds in the first rows of the table, to tell a
    // footer from a data row cut short by the end of the input.
    std::vector<CellKind> column_kinds_;
    bool section_open_ = false; // a blank line behind the table, and no row of its width since
    // A second table: after a blank line, a row of the table's width that
    // names columns (text where the table holds values, nothing else).
    bool second_table_ = false;
    std::vector<bool> value_columns_; // columns of mostly numbers or dates below the header
    std::string header_text_;         // the header row's bytes, not a second table's
    bool names_row(const RowView& row, std::string_view text) const;
    // A narrow row of words where the table holds values ("End of report",
    // "(5 rows affected)"): a footer line rather than a row cut short.
    bool summary_row(const RowView& row) const;

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

    std::vector<DetectionNote> notes_; // made while settling, told after begin
    bool hash_rows_are_data_ = false;  // leading '#' rows of the table's width are its rows
    bool filled_before_ = false;       // a data row that holds something was told
    // The sums of the numeric columns, to tell a totals row; none when
    // totals are not detected or no column holds numbers.
    std::optional<ColumnSums> sums_;
    bool tell_plain(std::string_view lines, std::size_t rows, std::uint64_t first_line);
    bool hold_plain_line(std::string_view line, std::uint64_t at, bool total);
    bool settle_total(const HeldRow& held);
    ByteBuffer window_;
    std::size_t begin_ = 0;     // first byte of window_ not yet consumed
    std::size_t retry_at_ = 0;  // parse again once this many bytes are pending
    std::uint64_t dropped_ = 0; // bytes compacted away in front of window_
    bool borrowed_ = false;     // run_buffer: the input is the caller's, not window_
    bool stopped_ = false;
    bool finished_ = false;
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
    void add(const RowView& fields, RowFate fate, std::size_t line);
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
