#pragma once
// What the salvage pass tells: each row's fate, the rows set aside as not
// part of the table, the layout and counts, detection notes; and the sink
// that hears them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "parser/row_store.h"

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
    Section,  // a row of a later table below the first, or of the rows after it
};
inline constexpr std::size_t kSkipKinds = 5;

// The kind's name in reports: "blank", "comment", "preamble", "footer",
// "section".
std::string_view skip_kind_name(SkipKind kind) noexcept;

// "Row has too few columns (expected 3)" and its sibling for extra columns.
std::string quarantine_reason(RowFate fate, std::uint64_t columns);
// The package's words for the same, with the fields found: "too few fields:
// 2 found, 3 expected", as its reports name the action.
std::string field_count_reason(RowFate fate, std::uint64_t columns, std::size_t found);

// The counts of a run's rows, the pass's and the report's alike.
struct RowCounts {
    std::uint64_t total_rows = 0;
    std::uint64_t salvaged_rows = 0;
    std::uint64_t repaired_rows = 0;
    std::uint64_t quarantined_rows = 0;
    std::uint64_t skipped_rows = 0;
    std::array<std::uint64_t, kSkipKinds> skipped_by_kind{}; // indexed by SkipKind

    friend bool operator==(const RowCounts&, const RowCounts&) = default;
};

// The counts and the settled layout.
struct SalvageCounters : RowCounts {
    std::uint64_t inferred_columns = 0;
    std::uint8_t detected_delimiter = ',';
    std::uint8_t detected_quote = '"';
    std::uint8_t detected_escape = 0;  // 0: none
    bool trim_after_delimiter = false; // the separator is the delimiter and a space
    bool header_row = false;           // detect_header found the first row to name the columns
    std::uint8_t header_rows = 0;      // with header_row: how many leading rows name them together
    std::uint64_t preamble_rows = 0;   // leading rows set aside as the preamble
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
    // Kept, and written as clean CSV with the input's delimiter and quote it
    // is `text` and the LF after it in the input (ResilientParser::
    // last_row_verbatim, its UTF-8 valid as it stood): it may be copied.
    bool verbatim = false;
    // Repaired where the columns' kinds placed it: what was joined or
    // where the empty field was put ("fields 2 and 3 joined into column 2").
    std::string_view placement;
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

// What a sink makes of the rows of one block, on a worker thread, before it
// is handed to the sink in order (RowSink::take_block). The rows come as
// the sink would hear them, with lines counted from the block's first row
// (line 1); views into the input stay valid until the block is taken. A
// failed allocation throws.
class BlockRecord {
  public:
    virtual ~BlockRecord() = default;
    virtual void clear() noexcept = 0; // ready for another block
    virtual void plain_rows(std::string_view lines, std::size_t rows, std::uint64_t first_line) = 0;
    virtual void row(const RowEvent& event) = 0;
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

    // Rows parsed on several threads. A sink that takes them makes a record
    // for each worker (after begin); nothing keeps the pass on one thread
    // (the default: a sink that must hear each row as the pass reads it).
    virtual std::unique_ptr<BlockRecord> block_record() { return nullptr; }
    // Whether take_block() would tell `record`'s rows as the pass would have,
    // one by one; if not, the pass reads them again and tells them so.
    virtual bool accepts(const BlockRecord& /*record*/) const { return true; }
    // The rows of a record of this sink's, in order, as if told one by one
    // with their lines moved on by `line_shift`; false stops the run.
    virtual bool take_block(const BlockRecord& /*record*/, std::uint64_t /*line_shift*/) {
        return true;
    }
};

} // namespace rowmend
