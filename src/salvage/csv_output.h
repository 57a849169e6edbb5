#pragma once
// The two output formats: clean CSV lines and quarantine lines. Both end
// every line with a single LF.

#include <cstdint>
#include <string>
#include <string_view>

#include "parser/row_store.h"

namespace rowmend {

inline constexpr std::string_view kQuarantineHeader = "line,reason,raw_content\n";

// How the clean file separates and quotes fields: the delimiter and quote
// bytes as UTF-8 text.
class CleanCsvFormat {
  public:
    CleanCsvFormat(std::uint8_t delimiter, std::uint8_t quote) noexcept;

    // Appends one row as a line: fields joined by the delimiter text; a field
    // holding the quote text, the delimiter text, LF or CR is enclosed in
    // quotes with its quotes doubled, any other is written as it is.
    // `starts_file` marks the file's first line: a first field that begins
    // with U+FEFF is quoted there too, or the file would begin with the bytes
    // of a byte-order mark, which readers strip, losing the character.
    void append_line(std::string& out, const RowView& row, bool starts_file = false) const;

    bool needs_quoting(std::string_view field) const noexcept;

  private:
    // Fields are formatted in place, with raw copies, in runs of at most
    // this many bytes (or one longer field).
    static constexpr std::size_t kShortRow = 64U << 10;
    // Appends the fields [it, stop), `bytes` being their texts back to back;
    // `first`: they begin the line; `starts_file`: the line begins the file;
    // `ends_line`: the line's LF follows them.
    void append_fields(std::string& out, RowView::Iterator it, RowView::Iterator stop,
                       std::string_view bytes, std::size_t fields, bool first, bool starts_file,
                       bool ends_line) const;

    char delimiter_[2];
    char quote_[2];
    std::uint8_t delimiter_size_;
    std::uint8_t quote_size_;
    std::uint8_t delimiter_byte_;
    std::uint8_t quote_byte_;
};

// Appends `{line},"{reason}","{raw}"` and LF, where raw is the fields joined
// by the delimiter text; the reason and raw have double quotes doubled.
void append_quarantine_line(std::string& out, std::size_t line, std::string_view reason,
                            const RowView& fields, std::string_view delimiter_text);

// The same with raw_content given as text: the row's own input.
void append_quarantine_text_line(std::string& out, std::size_t line, std::string_view reason,
                                 std::string_view text);

} // namespace rowmend
