#pragma once
// The resilient row parser: cuts a byte buffer into rows of fields, honouring
// quotes and repairing stray ones. It never rejects input: every byte
// sequence yields rows, and every field comes out as valid UTF-8.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "parser/row_store.h"

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

// The parser borrows the input; the input must outlive it.
class ResilientParser {
  public:
    ResilientParser(std::string_view input, std::uint8_t delimiter, std::uint8_t quote,
                    bool repair_quotes) noexcept;

    // Appends the next row to `store` and returns true, or returns false,
    // leaving `store` unchanged, once the input is used up (and ever after).
    bool next_row(RowStore& store);

    // Counting mode: the same row boundaries, field counts and line counter as
    // next_row, without building any field text.
    bool next_row_shape(RowShape& shape);

    // Fast path for the bulk of well-formed input. Takes up to `max_rows`
    // consecutive rows from the current position that contain no quote byte
    // and no CR, end in LF, are valid UTF-8 and have `fields` fields (any
    // number when 0). Such a row parses to its bytes split at the delimiters,
    // and written back as clean CSV it is the very same bytes. Stops before
    // the first other row, which next_row() then takes. Returns the rows'
    // bytes, LFs included, and sets `rows`. Takes nothing when the delimiter
    // or quote is not ASCII, when they are equal, or when one is CR or LF.
    std::string_view take_plain_rows(std::size_t fields, std::size_t max_rows, std::size_t& rows);

    // Number of the physical line the next row starts on (for input whose
    // quoted line breaks are LF or CR LF). Starts at 1.
    std::size_t line() const noexcept { return line_; }
    std::size_t pos() const noexcept { return pos_; }

  private:
    template <class Sink> bool parse_row(Sink& sink);
    // The stray-quote test for a quote byte at `q` inside a quoted field:
    // true when the quote belongs to the text, false when it closes the field.
    bool quote_is_literal(std::size_t q);
    bool is_blank(std::uint8_t c) const noexcept {
        return (c == ' ' || c == '\t') && c != delimiter_;
    }

    std::string_view input_;
    std::size_t pos_;
    std::size_t line_ = 1;
    bool repair_quotes_;
    std::uint8_t delimiter_;
    std::uint8_t quote_;
    bool plain_rows_possible_;

    // Look-ahead memo of the stray-quote test, so that a line full of stray
    // quotes is scanned once rather than once per quote. For the physical line
    // segment [closer_from_, closer_line_end_) it holds the last quote that is
    // followed, after blanks, by a delimiter, a line break or the end of input.
    std::size_t closer_from_ = 1;
    std::size_t closer_line_end_ = 0;
    std::size_t last_closer_ = 0;
    bool has_closer_ = false;
    // The last run of blanks skipped: [blank_from_, blank_end_) is all blanks.
    std::size_t blank_from_ = 1;
    std::size_t blank_end_ = 0;
};

} // namespace rowmend
