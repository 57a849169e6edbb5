#pragma once
// Dialect detection for callers that want more than the four-delimiter
// sniffer: which separator (comma, semicolon, tab, vertical bar, colon,
// caret, tilde or space, possibly followed by a blank every time, as in
// ", "), which quote byte (double quote or apostrophe) and whether a
// backslash escapes bytes. Every candidate is scored by how regular its rows
// are times how consistent the kinds of its cells are down each column, so
// near ties go to the reading that makes the most sense of the data rather
// than to a fixed order.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace rowmend {

struct Dialect {
    std::uint8_t delimiter = ',';
    std::uint8_t quote = '"';
    std::uint8_t escape = 0; // 0: none
    bool trim_blank = false; // one space follows every delimiter and is no part of a field
    bool operator==(const Dialect&) const = default;
};

// What the caller fixes; the rest is detected. `escape` 0 fixes "none".
struct DialectHint {
    std::optional<std::uint8_t> delimiter;
    bool trim_blank = false; // with a given delimiter: the caller's separator is it plus a space
    std::optional<std::uint8_t> quote;
    std::optional<std::uint8_t> escape;
};

inline constexpr std::uint8_t kDialectDelimiters[8] = {',', ';', '\t', '|', ':', '^', '~', ' '};
inline constexpr std::uint8_t kDialectQuotes[2] = {'"', '\''};
// Detection reads at most this much of the input, so its cost never depends
// on the input's size or on how long its first row is.
inline constexpr std::size_t kDialectSample = std::size_t{64} * 1024;

// The dialect of the first kDialectSample bytes of `prefix`. Nothing while
// `prefix` is shorter and not `final`: the answer needs more input.
std::optional<Dialect> detect_dialect_prefix(std::string_view prefix, bool final,
                                             const DialectHint& hint = {});

// The consistency score of one dialect over `sample` (a whole, final text),
// reading at most `max_rows` rows: 0 when no row splits into two fields or
// more. Exposed for tests.
double dialect_score(std::string_view sample, const Dialect& dialect, std::size_t max_rows);

// The most common non-blank row width of the first rows of `prefix` parsed
// in `dialect` (the package's column-count inference); nothing when those
// rows run past a prefix that is not `final`. The rows sampled end within
// the first `sample_bytes` bytes, but for the first row, which is always
// counted; when that one runs past them, it is read again with a quote
// that never closes tested (runaway_quote.h) against `runaway_width`, by
// default the most common width of the lines after it in the sample. So a
// quote that never closes cannot hold the input back. Without `quoting`,
// the quote byte is text.
std::optional<std::uint64_t> infer_columns_in_dialect(std::string_view prefix,
                                                      const Dialect& dialect, bool final,
                                                      std::size_t sample_bytes = SIZE_MAX,
                                                      std::size_t runaway_width = 0,
                                                      bool quoting = true);

} // namespace rowmend
