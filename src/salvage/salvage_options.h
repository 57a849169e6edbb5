#pragma once
// The caller-controlled settings of one salvage run.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "heuristics/header.h"
#include "heuristics/repair_placement.h"
#include "parser/runaway_quote.h"

namespace rowmend {

// One byte range of a larger input read on its own (a partition of one big
// file), its layout settled from the input's start. Its rows are those of
// one pass over the whole input as long as nothing held at a cut decides
// rows on its other side: SalvagePass::range_unsure() says when it might.
struct RangeRead {
    // What the input's start settled about the columns, which the table's
    // end and a later table are judged by: each column's kind, those that
    // hold values, the header's text.
    struct Columns {
        std::vector<CellKind> kinds;
        std::vector<bool> values;
        std::string header_text;
        // Each column's shape, by which long and short rows are placed
        // (none: they keep the backend's rule).
        std::vector<ColumnProfile> profiles;
    };
    std::uint64_t first_line = 1; // the line its first row begins on
    // Its first row comes after the table's first rows: no header, no
    // preamble, and the table has begun.
    bool inside_table = false;
    // The input goes on past it: the table's end is not judged here.
    bool more_follows = false;
    // The input's start dropped a trailing empty column; so does every range.
    bool trailing_dropped = false;
    // Absent: the range's own first rows say.
    std::optional<Columns> columns;
};

struct SalvageOptions {
    std::optional<std::uint8_t> delimiter;         // absent: sniff it
    std::uint8_t quote_char = '"';                 // steers only the salvage parser
    bool fill_ragged_rows = true;                  // pad short rows, or quarantine them
    bool merge_overflow = true;                    // merge long rows' surplus, or quarantine them
    std::optional<std::uint64_t> expected_columns; // absent: infer it; 0: leave rows as parsed
    bool repair_quotes = true;                     // steers only the salvage parser
    // Off: quote_char is text wherever it stands and no field is quoted; a
    // writer still quotes with it. On for the backend.
    bool quoting = true;

    // The wider dialect detection (off for the backend, whose four-delimiter
    // sniffer stays as it is): an absent delimiter is chosen among more
    // separators, the quote and escape bytes are detected unless given, and
    // the column count is inferred in the dialect found.
    bool detect_dialect = false;
    bool detect_quote = false;         // with detect_dialect: quote_char is only the fallback
    bool detect_escape = false;        // with detect_dialect
    std::uint8_t escape_char = 0;      // 0: none; the byte after it is text
    bool trim_after_delimiter = false; // a given separator is the delimiter plus one space
    // A quote that opens a field which then runs on past the rule, through
    // lines that read as rows of the table, is read as text (off for the
    // backend, whose reading lets such a field run to the end of input).
    std::optional<RunawayQuoteRule> runaway_quotes;

    // With an inferred column count: when every row of the header's sample
    // ends with a delimiter and the column that opens is empty there, the
    // column is an artifact of the export and is dropped (a row's empty
    // field past the table's width), with a note.
    bool drop_trailing_column = false;
    // With the header detected: a names line damaged by a delimiter too
    // many or too few, or a stray quote, is repaired to the table's width
    // where one repair stands out (names_line.h), with a note.
    bool repair_header = false;

    // A long or short row is repaired where its columns' kinds (read from
    // the table's first rows) say the join or the gap belongs, when one
    // placement fits clearly best; else, and off, at the row's end.
    bool place_repairs = false;

    // Rows that are not part of the table: set aside and counted as skipped
    // rather than parsed as data. All off by default, which keeps every row
    // a data row, as the backend's callers rely on.
    bool skip_blank_rows = false; // one field of White_Space only
    bool detect_header = false;   // judge whether the first row names the columns
    // Comment lines: with a prefix, every row whose text begins with it;
    // else, when detecting, a row beginning with '#' that stands outside the
    // table's shape (before its first data row, or of another width).
    std::string comment_prefix;
    bool detect_comments = false;
    // A preamble: this many leading rows, or, when detecting, the leading
    // rows narrower than the table (blank and comment lines among them).
    std::size_t skip_preamble_rows = 0;
    bool detect_preamble = false;
    // A footer: a trailing run of up to kMaxFooterRows rows narrower than
    // the table, after its first data row, held back until the end of input.
    bool detect_footer = false;
    // A trailing section: after a blank line (skipped as such) behind the
    // table, a run of up to kMaxSectionRows rows none of which has the
    // table's width, to the end of input (a second table, a summary).
    bool detect_trailing_section = false;
    // A totals row: a last row whose label says total or sum and whose
    // numbers are the sums of their columns, set aside as a footer.
    bool detect_totals = false;
    // A given footer: the last this many rows (blank and comment lines among
    // them) are set aside, blank and comment lines as such, the rest as
    // footer. Only they are held back. Not with the detections above.
    std::size_t footer_rows = 0;

    // Threads one run may use, its own included; 0: one per CPU this
    // process may run on. With two or more, a clean file is written by a
    // thread of its own while the run goes on, and, when every row is judged
    // on its own (rows_judged_alone), the rows are read on blocks on that
    // many threads (BlockPass); the output is the same.
    unsigned threads = 0;
    // The blocks' size; 0: BlockPass::kBlockBytes (tests ask for small ones).
    std::size_t block_bytes = 0;

    // Absent: the whole input.
    std::optional<RangeRead> range;
};

} // namespace rowmend
