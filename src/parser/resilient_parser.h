#pragma once
// The resilient row parser: cuts a byte buffer into rows of fields, honouring
// quotes and repairing stray ones. It never rejects input: every byte
// sequence yields rows, and every field comes out as valid UTF-8.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/row_store.h"
#include "parser/runaway_quote.h"
#include "parser/utf8.h"

namespace rowmend {

enum class ParseState : std::uint8_t {
    FieldStart, // before the first byte of a field
    Unquoted,   // inside a field that did not begin with the quote byte
    Quoted,     // inside a quoted field
    AfterQuote, // after the quote that closed a quoted field
};

// What counting mode reports of a row: the field count and whether the row is
// blank (one field whose text is only White_Space characters).
struct RowShape {
    std::size_t field_count = 0;
    bool blank = false;
};

// What one step of the parser produced. NeedMore only comes from a window
// that is not final: the row at hand reaches past the window's end (or its
// stray-quote test needs the rest of a line that does), so nothing was
// consumed and the same row is parsed again once the window holds more.
enum class ParseStep : std::uint8_t { Row, NeedMore, End };

// The parser borrows its input, a window onto the byte stream that must
// outlive it (or the next advance_window call). A final window ends with the
// end of input; a whole buffer is one final window.
class ResilientParser {
  public:
    ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote,
                    bool repair_quotes, bool final = true) noexcept;

    // Appends the next row to `store` and returns true, or returns false,
    // leaving `store` unchanged, once the input is used up (and ever after).
    // Only for final windows.
    bool next_row(RowStore& store) { return step_row(store) == ParseStep::Row; }

    // Counting mode: the same row boundaries, field counts and line counter as
    // next_row, without building any field text.
    bool next_row_shape(RowShape& shape) { return step_shape(shape) == ParseStep::Row; }

    // The same on any window. On NeedMore, `store` is left as it was.
    ParseStep step_row(RowStore& store);
    ParseStep step_shape(RowShape& shape);

    // Counting mode over a prefix that grows: on NeedMore the row at hand
    // keeps what it has read, and once extend_window() shows more of the
    // input the next call goes on from there rather than from the row's
    // start, so a row far longer than the prefix is still read once. pos()
    // and line() stay at the row's start until it ends. Not to be mixed with
    // the other steps on one parser.
    ParseStep resume_shape(RowShape& shape);

    // Shows more of the same input: `window` begins where the current one
    // does and holds it whole. Positions, the line counter and a row
    // suspended by resume_shape() carry over.
    void extend_window(std::string_view window, bool final) noexcept;

    // Off unless set, so the default grammar stays as it is. An escape byte
    // makes the byte after it text, in quoted and unquoted fields alike (and
    // is itself dropped); trimming drops one space right after each
    // delimiter, for separators such as ", ". Either one turns off
    // take_plain_rows, whose rows must be their own bytes.
    void set_escape(std::uint8_t escape) noexcept {
        escape_ = escape;
        plain_rows_possible_ = plain_rows_possible_ && escape == 0;
    }
    void set_trim_after_delimiter(bool trim) noexcept {
        trim_ = trim;
        plain_rows_possible_ = plain_rows_possible_ && !trim;
    }
    // Quoting off: the quote byte is text wherever it stands, so no field
    // is quoted. The quote byte still keeps rows that hold it off
    // take_plain_rows, as a writer that quotes with it must quote them.
    void set_quoting(bool quoting) noexcept { quoting_ = quoting; }
    // Off unless set, so the default grammar stays as it is: a quoted field
    // that runs on past `rule` is tested (runaway_quote.h) against rows of
    // `width` fields, and when its opening quote was stray the row is read
    // again with that quote as text. A width below 2 leaves it off: lines
    // of one field tell nothing.
    void set_runaway_quotes(std::size_t width, RunawayQuoteRule rule) noexcept {
        runaway_width_ = width >= 2 ? width : 0;
        runaway_rule_ = rule;
    }
    // For callers whose output quotes with another byte than the input: a
    // row free of this parser's quote may hold that one.
    void disable_plain_rows() noexcept { plain_rows_possible_ = false; }

    // For an input that begins inside a larger one, at a row's start (a
    // block or a partition of a file): its first bytes are the row's even
    // when they are a byte-order mark's. Right after construction only.
    void begin_inside_input() noexcept { pos_ = 0; }

    // Moves on to a new window that begins with the first byte not yet
    // consumed (the byte at pos() in the old one). The line counter goes on.
    void advance_window(std::string_view window, bool final) noexcept;

    // Fast path for the bulk of well-formed input. Takes up to `max_rows`
    // consecutive rows from the current position that contain no quote byte
    // and no CR, end in LF, are valid UTF-8 and have `fields` fields (any
    // number when 0). Such a row parses to its bytes split at the delimiters,
    // and written back as clean CSV it is the very same bytes. Stops before
    // the first other row, which next_row() then takes. Returns the rows'
    // bytes, LFs included, and sets `rows`. Takes nothing when the delimiter
    // or quote is not ASCII, when they are equal, or when one is CR or LF.
    std::string_view take_plain_rows(std::size_t fields, std::size_t max_rows, std::size_t& rows);
    // How many rows the last take_plain_rows took that are delimiters only
    // (rows of empty cells, as spreadsheets export them): counted on the
    // way, so that a run without them is never searched for them.
    std::size_t plain_empty_rows() const noexcept { return plain_empty_rows_; }

    // The input bytes of the row last returned, without its line break;
    // valid until the window moves.
    std::string_view last_row_bytes() const noexcept {
        return input_.substr(row_begin_, row_content_end_ - row_begin_);
    }

    // The fields `line` parses to on its own in this parser's grammar, with
    // no runaway test: a quote left open ends with the line.
    std::size_t line_fields(std::string_view line) const;

    // Whether the row last returned, written as clean CSV with this parser's
    // delimiter and quote, is its own input bytes and the LF that ended it:
    // each quoted field needed its quotes (it holds the delimiter, the
    // quote, CR or LF) and doubled its quotes, no unquoted field holds the
    // quote, nothing was repaired or dropped, and the row ended in LF alone.
    // Decided while parsing (full mode only); whether the fields' UTF-8 was
    // valid as it stood the row store tells (RowStore::last_row_replaced).
    // Never set where take_plain_rows takes nothing either.
    bool last_row_verbatim() const noexcept { return verbatim_; }

    // Whether the row last returned had a stray quote kept as text.
    bool last_row_repaired_quote() const noexcept { return quote_repaired_; }
    // Whether the row last returned had a quote that opened a runaway field
    // read as text instead (set_runaway_quotes).
    bool last_row_quote_read_as_text() const noexcept { return quote_read_as_text_; }

    // Number of the physical line the next row starts on (for input whose
    // quoted line breaks are LF or CR LF). Starts at 1.
    std::size_t line() const noexcept { return line_; }
    // Numbers lines from `line` on: the input is the rest of a longer one.
    void start_at_line(std::size_t line) noexcept { line_ = line; }
    // Position in the current window.
    std::size_t pos() const noexcept { return pos_; }

    // What counting mode carries from one byte of a row to the next.
    struct ShapeProgress {
        std::size_t field_count = 0;
        utf8::WhitespaceMatcher matcher; // the first field, while it could be blank
        bool first_blank = false;
    };

  private:
    template <class Sink> ParseStep parse_row(Sink& sink, bool suspend);
    // The stray-quote test for a quote byte at `q` inside a quoted field:
    // 1 when the quote belongs to the text, 0 when it closes the field, -1
    // when the answer lies beyond a window that is not final.
    int quote_is_literal(std::size_t q);
    // The runaway test on the field opened by the quote at `open`, over the
    // window's bytes up to `end`.
    bool runaway_is_stray(std::size_t open, std::size_t end, bool input_ends) const;
    bool is_blank(std::uint8_t c) const noexcept {
        return (c == ' ' || c == '\t') && c != delimiter_;
    }
    void forget_look_ahead() noexcept;

    std::string_view input_;
    std::size_t pos_;
    std::size_t line_ = 1;
    std::size_t row_begin_ = 0;
    std::size_t row_content_end_ = 0;
    bool final_;
    bool repair_quotes_;
    std::uint8_t delimiter_;
    std::uint8_t quote_;
    bool plain_rows_possible_;
    std::uint8_t escape_ = 0; // 0: no escape byte
    bool quoting_ = true;
    bool quote_repaired_ = false;
    bool trim_ = false;
    std::size_t runaway_width_ = 0; // 0: runaway quotes keep the default reading
    RunawayQuoteRule runaway_rule_;
    bool quote_read_as_text_ = false;
    bool verbatim_ = false;
    std::size_t plain_empty_rows_ = 0;

    // Look-ahead memo of the stray-quote test, so that a line full of stray
    // quotes is scanned once rather than once per quote. For the physical line
    // segment [closer_from_, closer_line_end_) it holds the last quote that is
    // followed, after blanks, by a delimiter, a line break or the end of input.
    // Positions are in the current window, so moving the window clears it.
    std::size_t closer_from_ = 1;
    std::size_t closer_line_end_ = 0;
    std::size_t last_closer_ = 0;
    bool has_closer_ = false;
    // The last run of blanks skipped: [blank_from_, blank_end_) is all blanks.
    std::size_t blank_from_ = 1;
    std::size_t blank_end_ = 0;
    // The last search for a line's end that ran into the window's end:
    // [no_break_from_, no_break_end_) holds no CR or LF, so a longer window
    // is searched from where that search stopped.
    std::size_t no_break_from_ = 1;
    std::size_t no_break_end_ = 0;

    // The runaway test's state in one row: the quoted field at hand (where
    // its opening quote is, the line breaks it has crossed, whether it was
    // tested) and the opening quotes found stray so far, which the row, read
    // again, takes as text. Each is later in the row than the one before, and
    // a row takes at most kMaxStrayOpens, so it is read a few times at most.
    static constexpr std::size_t kMaxStrayOpens = 4;
    struct OpenField {
        std::size_t open = 0;
        std::size_t breaks = 0;
        bool tested = false;
        std::size_t strays = 0;
        std::array<std::size_t, kMaxStrayOpens> stray_at{};
        bool is_stray(std::size_t at) const noexcept {
            for (std::size_t i = 0; i < strays; ++i)
                if (stray_at[i] == at)
                    return true;
            return false;
        }
        bool full() const noexcept { return strays == kMaxStrayOpens; }
    };

    // A row that resume_shape() left at a window's end: where and in which
    // state it stopped, the line the next byte is on, and its fields so far.
    struct Suspended {
        bool active = false;
        ParseState state = ParseState::FieldStart;
        std::size_t at = 0;
        std::size_t line = 0;
        OpenField field;
    };
    Suspended suspended_;
    ShapeProgress shape_progress_;
};

} // namespace rowmend
