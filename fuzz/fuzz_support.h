#pragma once
// What the fuzz targets share: a check that aborts (so libFuzzer and the
// replayer both report the input), a reader for the option bytes at the
// front of an input, and a UTF-8 decoder written independently of the
// engine's, so that the targets do not validate the engine with itself.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "parser/row_store.h"
#include "salvage/salvage_options.h"

namespace rowmend::fuzz {

[[noreturn]] inline void check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

// Unlike assert, never compiled out: the targets exist to check.
#define FUZZ_CHECK(condition)                                                                      \
    ((condition) ? static_cast<void>(0)                                                            \
                 : ::rowmend::fuzz::check_failed(#condition, __FILE__, __LINE__))

// The bytes of a fuzz input: a few option bytes at the front, the CSV after.
// Option bytes read past the end come back as 0, so every input is usable.
class FuzzInput {
  public:
    FuzzInput(const std::uint8_t* data, std::size_t size) noexcept
        : data_(reinterpret_cast<const char*>(data)), size_(size) {}

    std::uint8_t take() noexcept {
        if (used_ == size_)
            return 0;
        return static_cast<std::uint8_t>(data_[used_++]);
    }
    std::string_view rest() const noexcept { return {data_ + used_, size_ - used_}; }

  private:
    const char* data_;
    std::size_t size_;
    std::size_t used_ = 0;
};

// Indexed by four bits of an option byte. The usual delimiters and quotes
// come first and twice, so that seeds taken from real CSV files mostly get a
// sensible layout; the rest are the awkward cases: line break bytes, bytes
// that are also whitespace, bytes of 0x80 and above (two bytes of text each,
// and 0xEF, 0xBB, 0xBF overlap the byte-order mark), NUL, and a letter.
inline constexpr std::uint8_t kDelimiters[16] = {',',  ';',  '\t', '|',  ',',  ';',  ' ',  '"',
                                                 '\'', '\n', '\r', 0xA7, 0xFF, 0xEF, 0x00, 'a'};
inline constexpr std::uint8_t kQuotes[16] = {'"',  '"', '"',  '"',  '\'', '\'', ',',  ';',
                                             '\t', ' ', '\n', '\r', 0xA7, 0xBB, 0x00, 'a'};

inline std::uint8_t pick_delimiter(std::uint8_t selector) noexcept {
    return kDelimiters[selector & 15];
}
inline std::uint8_t pick_quote(std::uint8_t selector) noexcept {
    return kQuotes[selector >> 4];
}

// Every target starts its input with the same three option bytes, so one
// seed serves them all. The encodings keep hand-written seeds printable:
// "000" is comma, double quote, the default flags and an inferred width.
//   byte 0: low four bits the delimiter, high four bits the quote ('0' to
//           '?' give the double quote, '@' to '_' the apostrophe; '0' to '3'
//           then give comma, semicolon, tab and vertical bar);
//   byte 1: bit 0 sniffs the delimiter instead, bit 1 clears
//           fill_ragged_rows, bit 2 clears merge_overflow, bit 3 clears
//           repair_quotes; bit 6 is left to the target ('@' to 'O'); bit 7
//           makes the backslash an escape byte;
//   byte 2: its low four bits: 1 to 8 expect that many columns, 9 expects
//           the given 0 columns, anything else infers the count; bit 6
//           ('@' to 'O') detects the dialect as the package does (when
//           sniffing, the delimiter too); bit 7 trims one space after each
//           delimiter.
struct FuzzOptions {
    SalvageOptions salvage;
    bool target_flag; // bit 6 of byte 1
};

inline FuzzOptions take_options(FuzzInput& in) noexcept {
    const std::uint8_t layout = in.take();
    const std::uint8_t flags = in.take();
    const std::uint8_t width = in.take();
    const std::uint8_t columns = width & 15;
    FuzzOptions options;
    options.target_flag = (flags & 0x40) != 0;
    SalvageOptions& salvage = options.salvage;
    if ((flags & 1) == 0)
        salvage.delimiter = pick_delimiter(layout);
    salvage.quote_char = pick_quote(layout);
    salvage.fill_ragged_rows = (flags & 2) == 0;
    salvage.merge_overflow = (flags & 4) == 0;
    salvage.repair_quotes = (flags & 8) == 0;
    salvage.escape_char = (flags & 0x80) != 0 ? '\\' : 0;
    salvage.trim_after_delimiter = (width & 0x80) != 0;
    salvage.detect_dialect = salvage.detect_quote = salvage.detect_escape = (width & 0x40) != 0;
    if (columns >= 1 && columns <= 8)
        salvage.expected_columns = columns;
    if (columns == 9)
        salvage.expected_columns = 0;
    return options;
}

// Decodes well-formed UTF-8 one code point at a time (Unicode Table 3-7:
// shortest forms only, no surrogates, nothing above U+10FFFF).
class Utf8Decoder {
  public:
    explicit Utf8Decoder(std::string_view text) noexcept : text_(text) {}

    // Stores the next code point and returns true; false at the end of the
    // text or at an ill-formed sequence (then failed() tells which).
    bool next(char32_t& code_point) noexcept {
        if (at_ == text_.size())
            return false;
        const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text_[at_ + i]); };
        const std::uint8_t b0 = byte(0);
        std::size_t length;
        char32_t cp;
        if (b0 < 0x80) {
            length = 1;
            cp = b0;
        } else if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
            cp = b0 & 0x1F;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            cp = b0 & 0x0F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            cp = b0 & 0x07;
        } else {
            return fail();
        }
        if (text_.size() - at_ < length)
            return fail();
        for (std::size_t i = 1; i < length; ++i) {
            if ((byte(i) & 0xC0) != 0x80)
                return fail();
            cp = (cp << 6) | (byte(i) & 0x3F);
        }
        const char32_t shortest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < shortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return fail();
        at_ += length;
        code_point = cp;
        return true;
    }
    bool failed() const noexcept { return failed_; }

  private:
    bool fail() noexcept {
        failed_ = true;
        return false;
    }
    std::string_view text_;
    std::size_t at_ = 0;
    bool failed_ = false;
};

inline bool valid_utf8(std::string_view text) noexcept {
    Utf8Decoder decoder(text);
    char32_t cp;
    while (decoder.next(cp)) {
    }
    return !decoder.failed();
}

// The Unicode White_Space property.
inline bool is_white_space(char32_t cp) noexcept {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// True when the text is valid UTF-8 made only of White_Space (or empty).
inline bool only_white_space(std::string_view text) noexcept {
    Utf8Decoder decoder(text);
    char32_t cp;
    while (decoder.next(cp)) {
        if (!is_white_space(cp))
            return false;
    }
    return !decoder.failed();
}

// A row's fields as owned strings.
inline std::vector<std::string> fields_of(const RowView& row) {
    std::vector<std::string> fields;
    for (const FieldView field : row)
        fields.emplace_back(field.text);
    return fields;
}

inline bool all_ascii(std::string_view text) noexcept {
    for (const char c : text) {
        if (static_cast<std::uint8_t>(c) >= 0x80)
            return false;
    }
    return true;
}

} // namespace rowmend::fuzz
