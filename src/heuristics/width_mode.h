#pragma once
// The most frequent field count among sampled rows, shared by delimiter
// sniffing and column-count inference.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "parser/resilient_parser.h"

namespace rowmend {

struct WidthMode {
    std::size_t width = 0; // 0 when no width qualified
    std::size_t rows = 0;  // how many sampled rows have it
};

// The most frequent width of at least `min_width` in `widths`, which it sorts
// in place. Of equally frequent widths the largest wins: padding short rows
// loses nothing, merging long ones loses field boundaries. Counting by
// sorting walks the counts in a fixed order, so the answer never depends on
// a hash map's order.
WidthMode width_mode(std::span<std::size_t> widths, std::size_t min_width = 0);

// When a sampled first row runs past `sample_bytes`, as a quote that never
// closes makes it do: the most frequent width of the whole non-blank lines
// after the first within those bytes, each read alone by `grammar`'s rules,
// for the row to be read again with runaway quotes tested against it. 0
// when no such line has two fields or more.
std::size_t provisional_width(std::string_view prefix, std::size_t sample_bytes,
                              const ResilientParser& grammar);

// The field counts of the first non-blank rows of `prefix`, up to as many as
// `out` holds, parsed as the heuristics always parse: with the double quote
// and repair on. Returns how many it wrote, or nothing when those rows run
// past a prefix that is not `final`.
std::optional<std::size_t> sample_row_widths(std::string_view prefix, std::uint8_t delimiter,
                                             bool final, std::span<std::size_t> out);

// sample_row_widths over an input that arrives as ever longer prefixes of
// the same bytes, each call with the whole prefix so far. It reads every
// byte once, however often the prefix grows, goes on inside a row that ran
// past the last prefix, and stops reading once it has its rows; for every
// prefix it answers what sample_row_widths answers.
class RowWidthSampler {
  public:
    RowWidthSampler(std::uint8_t delimiter, std::size_t limit) noexcept
        : delimiter_(delimiter), limit_(limit) {}

    // The widths, or nothing while they run past a prefix that is not `final`.
    std::optional<std::span<const std::size_t>> sample(std::string_view prefix, bool final);

    // Reads on to `limit` rows on the next call, from where it stopped: a
    // sample of more rows with the same delimiter begins with this one's.
    void raise_limit(std::size_t limit) noexcept { limit_ = limit > limit_ ? limit : limit_; }

    std::uint8_t delimiter() const noexcept { return delimiter_; }

    // Reads on with `delimiter` in place of its own, as though made with it:
    // only while the prefixes it was shown hold neither byte (see
    // ResilientParser::swap_unseen_delimiter).
    void swap_unseen_delimiter(std::uint8_t delimiter) noexcept {
        delimiter_ = delimiter;
        if (parser_)
            parser_->swap_unseen_delimiter(delimiter);
    }

  private:
    std::uint8_t delimiter_;
    std::size_t limit_;
    bool ended_ = false; // the input ended before the limit
    std::optional<ResilientParser> parser_;
    std::vector<std::size_t> widths_;
};

} // namespace rowmend
